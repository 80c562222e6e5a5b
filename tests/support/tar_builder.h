// Tar byte images for tests, built without the tar module so that tests of
// its reader do not lean on its writer, and damaged tars are easy to make.
//
// Each member is a 512-byte header record and its data, padded with NUL
// bytes to the next multiple of 512; NUL records end the archive. The header
// record as this builder writes it (offsets from the start of the record):
//
//   offset  length  field     written as
//        0     100  name      the name, NUL-padded (100 characters fill it, no NUL)
//      100       8  mode      "%o", NUL-padded
//      108       8  owner     "%o", NUL-padded
//      116       8  group     NUL bytes
//      124      12  size      "%o" of the data length, or `size_field` as given
//      136      12  mtime     "%o", NUL-padded
//      148       8  checksum  "%06o", NUL, space: 256 plus the sum of every
//                             other byte of the record (the field counted as
//                             eight spaces); one more with `bad_checksum`
//      156       1  type      the type character
//      157     100  linkname  the link name, NUL-padded
//      257     255  rest      NUL bytes (no ustar magic)
//
// With the defaults this is byte for byte what the tool's tar writer makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"
#include "tar/tar.h"

// Every field has a default: tests name only what they need, as {name, data}
// or with designated initializers.
struct tar_entry {
    std::string name = {};
    std::string data = {};
    std::uint32_t mode = 0664;
    std::uint32_t owner = 0;
    std::uint32_t mtime = 0;
    char type = '0';
    std::string linkname = {};
    std::string size_field = {};  // when set, the size field's bytes (up to 12) in place of the data length
    bool bad_checksum = false;    // the stored checksum is one off
};

struct tar_shape {
    int end_records = 2;            // 0 for a tar whose end is missing
    std::size_t length = SIZE_MAX;  // cut the image to this many bytes
};

bytes tar_header_record(const tar_entry& entry);
bytes tar_image(const std::vector<tar_entry>& entries, tar_shape shape = {});

// A memory archive over an exact-size heap copy of the bytes, so that the
// address sanitizer sees any read past the end of the block.
struct tar_block_reader {
    explicit tar_block_reader(const unsigned char* data, std::size_t size);
    explicit tar_block_reader(const bytes& data) : tar_block_reader(data.data(), data.size()) {}
    tar_block_reader(tar_block_reader&&) = delete;  // the archive points at `block`

    std::unique_ptr<unsigned char[]> copy;
    tar_mem_block block;
    tar_archive tar;
};
