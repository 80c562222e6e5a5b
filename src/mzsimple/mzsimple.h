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
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"

struct mzsimple {
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
// appends to an existing one. Null for a null or empty path, a level whose
// low four bits exceed 10 (a negative level means 6), or an archive that
// cannot be opened (for 'w': a folder that cannot be written).
mzsimple_ptr mzsimple_open(const char* path, int level, char mode);
// Writes the archive (modes 'w' and 'a') and releases it: 0 when the
// archive was committed under its final name, -1 when it could not be.
int mzsimple_close(mzsimple_ptr zip);

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
