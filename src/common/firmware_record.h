// One image in memory, as prepared for an upload. The preparation fills
// `image` and sets `data`/`size` over it; the TFTP upload reads from `data`,
// advancing it and lowering `size` as it sends, and sets `size` back when it
// is done. A configuration upload points `data`/`size` at its own bytes and
// leaves `image` empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t FIRMWARE_PATH_MAX = 260;

struct firmware_record {
    std::string path;                     // at most 260 characters
    std::uint64_t size = 0;               // bytes held, or still to send
    const unsigned char* data = nullptr;  // next byte to send
    std::vector<unsigned char> image;     // owns the bytes of a prepared image
};
