// A thin zip facade for the backup archive: open an archive, write members
// one after the other, or select members by name or index and read them.
//
// Names: backslashes in names become '/'; a lookup by name compares the
// letters A to Z without regard to case. A member counts as a directory when
// its name ends in '/' or its external attributes carry the DOS directory
// bit (0x10).
//
// Writing: members are deflated when the level (level & 15) is above 0 and
// stored otherwise, and stamped with the local time at which they were
// added. Nothing reaches the final file name before mzsimple_close: the
// archive is written to a temporary file beside it and renamed into place,
// so an interrupted run never leaves a half-written archive behind.
//
// A new archive (mode 'n') never replaces a file: it is built in memory, and
// mzsimple_close writes it under its path or, when a file of that name
// exists, under the first free name with "_2", "_3", ... before the
// extension ("backup.zip", "backup_2.zip", ...). The name is taken by a
// commit that fails on an existing file, so archives closed at the same
// moment by several processes all keep distinct names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"

struct mzsimple {
    zip_source_ptr memory;  // mode 'n': the buffer the archive is written into
    zip_ptr archive;
    char mode = 'r';
    int level = 6;
    std::string path;
    // Reading: the selected entry, or -1.
    std::int64_t selected = -1;
    // Writing: the member being written, and the bytes of every member added
    // so far (the archive is compressed and written when it is closed).
    bool writing_entry = false;
    std::string entry_name;
    std::vector<unsigned char> entry_data;
    std::vector<std::unique_ptr<std::vector<unsigned char>>> members;
};

using mzsimple_ptr = std::unique_ptr<mzsimple>;

// Mode 'r' reads an existing archive, 'w' creates or truncates one, 'a'
// appends to an existing one, 'n' creates a new one beside any existing
// file (above). Null for a null or empty path, a level whose low four bits
// exceed 10 (a negative level means 6), or an archive that cannot be opened
// (for 'w' and 'n': a folder that cannot be written).
mzsimple_ptr mzsimple_open(const char* path, int level, char mode);

// Called by mzsimple_close of a new archive with each name it is about to
// write the archive under, so that members may name the archive (it may add
// or replace members); false gives up.
using mzsimple_naming_fn = bool (*)(mzsimple* zip, const std::string& name, void* context);
// Writes the archive (modes 'w', 'a' and 'n') and releases it: 0 when the
// archive was committed under its final name, which `written` gets, -1 when
// it could not be (an archive without members is not written in mode 'n').
int mzsimple_close(mzsimple_ptr zip, std::string* written = nullptr, mzsimple_naming_fn naming = nullptr,
                   void* context = nullptr);

int mzsimple_entry_open(mzsimple* zip, const char* name);
int mzsimple_entry_write(mzsimple* zip, const void* bytes, std::size_t n);
int mzsimple_entry_close(mzsimple* zip);

std::int64_t mzsimple_entry_count(const mzsimple* zip);
int mzsimple_entry_open_index(mzsimple* zip, std::int64_t index);
// The selected entry's name with backslashes turned into '/'.
std::string mzsimple_entry_name(const mzsimple* zip);
// 1 directory, 0 file, -1 no entry selected.
int mzsimple_entry_is_dir(const mzsimple* zip);
std::uint64_t mzsimple_entry_size(const mzsimple* zip);
// The whole selected entry; -1 (and nothing handed out) for a directory or a
// failed extraction, else the size.
std::int64_t mzsimple_entry_read(mzsimple* zip, std::vector<unsigned char>* out);
std::int64_t mzsimple_entry_read_into(mzsimple* zip, void* buffer, std::uint64_t size);
