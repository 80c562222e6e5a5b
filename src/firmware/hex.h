// Hexadecimal text of digests, and the extension of a file path.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// Writes 2 * count lowercase hexadecimal characters and a NUL into `output`
// (room for 2 * count + 1 bytes). Returns 0, or -1 when `bytes` or `output`
// is missing or `count` is 0 (nothing is written then).
int hex_encode(const unsigned char* bytes, std::size_t count, char* output);

// Decodes a NUL-terminated text of hexadecimal digit pairs (upper or lower
// case), the first digit of a pair giving the high four bits. None for a
// missing text, an odd length or any other character.
std::optional<std::vector<unsigned char>> hex_decode(const char* text);
