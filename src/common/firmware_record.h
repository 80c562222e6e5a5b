// One image as prepared for an upload. The preparation fills `image` and
// sets `data`/`size` over it, or, for an image read from a file, writes it
// to a temporary file (`spool`, so that memory never holds a whole image)
// and sets `size`; the TFTP upload reads from `data` or from the spool,
// advancing and lowering `size` as it sends, and sets `size` back when it is
// done. A configuration upload points `data`/`size` at its own bytes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/output_file.h"

constexpr std::size_t FIRMWARE_PATH_MAX = 260;

// The firmware information block: 184 bytes at byte 0x1C0000 of an image.
constexpr std::size_t FIRMWARE_INFO_OFFSET = 0x1C0000;
constexpr std::size_t FIRMWARE_INFO_SIZE = 184;

struct firmware_record {
    std::string path;                     // at most 260 characters
    std::uint64_t size = 0;               // bytes held, or still to send
    const unsigned char* data = nullptr;  // next byte to send
    std::vector<unsigned char> image;     // owns the bytes of a prepared image
    // A spooled image: the temporary file it was written to (removed with
    // the record), and that file opened for the upload to read.
    std::unique_ptr<output_file> spool;
    file_ptr spool_reader;
    // The information block of a spooled image, as it passed by.
    std::array<unsigned char, FIRMWARE_INFO_SIZE> info_block{};
};
