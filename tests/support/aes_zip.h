// Zip archives of WinZip AES-256 entries written byte by byte: firmware
// packages that libzip does not write (zstd, LZMA without end marker, AE-1
// with any CRC, sizes that disagree with the content), and the packages the
// fuzz target builds around fuzzed content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/support.h"

struct aes_zip_entry {
    std::string name;
    bytes stored;                      // the entry's stored data: aes_zip_encrypt of the content
    std::uint16_t method = 0;          // compression method of the content
    std::uint64_t size = 0;            // uncompressed size for the headers
    std::uint32_t crc = 0;             // 0 for AE-2
    std::uint16_t vendor_version = 2;  // 1: AE-1, 2: AE-2
};

// The stored data of a (compressed) content: AES-256 with `password` and a
// fixed salt. Empty when the encryption fails.
bytes aes_zip_encrypt(const bytes& content, const char* password);

// Local headers with the stored data, the central directory and its end
// record; each entry carries method 99 and the 0x9901 extra field.
bytes aes_zip(const std::vector<aes_zip_entry>& entries);
