// Tar records of the controller's configuration sets.
//
// An archive is a sequence of members, each a 512-byte header record
// followed by its data padded with NUL bytes to the next multiple of 512;
// two records of NUL bytes (1024 bytes) end the archive. A record whose
// checksum field starts with NUL is a null record: every reader here stops
// there.
//
// Header record (offsets from the start of the record):
//
//   offset  length  field     written as                  read as
//        0     100  name      text, NUL-terminated        up to the first NUL
//      100       8  mode      "%o", NUL, no leading zeros "%o"
//      108       8  owner     "%o" (always "0" here)      "%o"
//      116       8  group     zero bytes                  ignored
//      124      12  size      "%o", data length           "%o"
//      136      12  mtime     "%o", seconds since 1970    "%o"
//      148       8  checksum  "%06o", NUL, space          "%o"; NUL first byte = null record
//      156       1  type      '0' regular file, '5' dir   one character
//      157     100  linkname  text, NUL-terminated        up to the first NUL
//      257     255  rest      zero bytes                  ignored (counted in the checksum)
//
// The checksum is 256 plus the sum of all 512 bytes taken as unsigned,
// leaving out bytes 148..155 (the usual tar sum with the checksum field read
// as eight spaces).
//
// The writer produces the old header form (no ustar magic or version); the
// reader uses the octal fields only, so ustar and GNU tars read alike.
//
// An archive is reached through four stream callbacks: a file (tar_open) or
// a memory block (tar_mem_open_read / tar_mem_open_write). The tar code keeps
// `pos` itself: after every read or write it adds n, after every seek it
// sets `pos` to the requested offset, also when the callback failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/handles.h"

enum : int {
    TAR_OK = 0,
    TAR_FAILURE = -1,  // missing handle/buffer/block, memory read past the end
    TAR_OPEN_FAILED = -2,
    TAR_READ_FAILED = -3,
    TAR_WRITE_FAILED = -4,
    TAR_SEEK_FAILED = -5,
    TAR_BAD_CHECKSUM = -6,
    TAR_NULL_RECORD = -7,  // the end of the archive
    TAR_NOT_FOUND = -8,
};

constexpr std::uint32_t TAR_RECORD_SIZE = 512;
constexpr std::uint32_t TAR_MODE_FILE = 0664;

struct tar_header {
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t size = 0;
    std::uint32_t mtime = 0;
    std::uint32_t type = 0;  // the type character; 0 is written as '0'
    char name[101] = {};
    char linkname[101] = {};
};

struct tar_archive;
using tar_read_fn = int (*)(tar_archive* tar, void* buffer, std::uint32_t n);
using tar_write_fn = int (*)(tar_archive* tar, const void* bytes, std::uint32_t n);
using tar_seek_fn = int (*)(tar_archive* tar, std::uint32_t offset);
using tar_close_fn = int (*)(tar_archive* tar);

// A block read by the memory stream; it knows its length, so a read never
// passes the end of the block.
struct tar_mem_block {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

struct tar_archive {
    tar_read_fn read = nullptr;
    tar_write_fn write = nullptr;
    tar_seek_fn seek = nullptr;
    tar_close_fn close = nullptr;
    void* stream = nullptr;  // the open file, a tar_mem_block, or a std::vector being written
    std::uint32_t pos = 0;
    std::uint32_t remaining_data = 0;
    std::uint32_t last_header = 0;
    file_ptr file;  // owns the file of a file stream
};

// File stream. The mode is turned into "rb", "wb" or "ab"; a read-mode open
// also reads the first header and fails with its code.
int tar_open(tar_archive* tar, const char* path, const char* mode);
int tar_close(tar_archive* tar);

// Memory streams: reading over a block the caller keeps alive, writing into
// a growing vector (a write that cannot grow it fails with TAR_WRITE_FAILED).
void tar_mem_open_read(tar_archive* tar, tar_mem_block* block);
void tar_mem_open_write(tar_archive* tar, std::vector<unsigned char>* out);
int tar_mem_read(tar_archive* tar, void* buffer, std::uint32_t n);
int tar_mem_write(tar_archive* tar, const void* bytes, std::uint32_t n);
int tar_mem_seek(tar_archive* tar, std::uint32_t offset);
int tar_mem_close(tar_archive* tar);

int tar_seek(tar_archive* tar, std::uint32_t offset);
int tar_rewind(tar_archive* tar);
// Decodes the header at `pos`; the position is unchanged afterwards.
int tar_read_header(tar_archive* tar, tar_header* header);
// Moves `pos` to the header after the current member.
int tar_next(tar_archive* tar);
// From the start, the first member of that exact name; `pos` is on its header.
int tar_find(tar_archive* tar, const char* name, tar_header* header);
// The next n data bytes of the member at `pos`; after the last byte the
// position is on the member's header again.
int tar_read_data(tar_archive* tar, void* buffer, std::uint32_t n);

int tar_write_header(tar_archive* tar, const tar_header* header);
// A regular file: mode 0664, owner 0, mtime 0, empty link name.
int tar_write_file_header(tar_archive* tar, const char* name, std::uint32_t size);
int tar_write_data(tar_archive* tar, const void* bytes, std::uint32_t n);
int tar_finalize(tar_archive* tar);

// Whole-tar helpers over a block in memory.
//
// The data of the first member of that exact name: TAR_OK and its bytes
// (none for an empty member); TAR_NOT_FOUND when the tar has no such member
// before its end or a damaged header; TAR_READ_FAILED when the member claims
// more bytes than the block holds.
int tar_mem_member_read(const unsigned char* data, std::size_t size, const char* name, std::vector<unsigned char>* out);
// Takes the data of the first member of that exact name out of a whole tar
// in place (the tar's bytes become the member's), so that a large member is
// never held twice; the codes of tar_mem_member_read, and the tar unchanged
// unless TAR_OK.
int tar_mem_member_take(std::vector<unsigned char>* tar, const char* name);
// Whether `data` starts with a record shaped like a tar header (octal size
// and checksum fields), whatever its checksum says. An HTML page does not.
bool tar_header_shaped(const unsigned char* data, std::size_t size);
// The headers of the members up to the end record: TAR_OK when the end
// record was reached, else the code that stopped the listing (the members
// read until then are kept). `last_cut` tells whether the data of the last
// member listed runs past the block: a tar cut inside that member.
int tar_mem_list(const unsigned char* data, std::size_t size, std::vector<tar_header>* members,
                 bool* last_cut = nullptr);
