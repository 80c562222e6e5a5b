// Test support shared by the unit tests and the fuzz targets. Each helper
// family has a header of its own in this folder; this one holds the byte
// helpers that all of them use, and the unit tests' scratch folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

// Little-endian appends, as the controller's files and zip records store numbers.
inline void put16(bytes& out, std::uint32_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}
inline void put32(bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}
inline void append(bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
inline void append(bytes& out, const bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
inline bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

// A new empty folder of its own in the system's temporary folder, removed
// with all it holds when the object goes.
struct scratch_folder {
    std::filesystem::path path;
    scratch_folder();
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
};
