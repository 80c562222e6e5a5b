// Numbers that several modules share: the controller's flash image size,
// the longest path the tool builds, and the exit statuses of the tool.
#pragma once

#include <cstddef>
#include <cstdint>

// "flashraw.bin" and "flashfs.bin" are each 2 MiB.
constexpr std::uint64_t FLASH_IMAGE_SIZE = 2u * 1024 * 1024;

// Paths the tool builds (output files, the firmware path it keeps) stay
// within 260 characters, the classic Windows limit the controller's tools
// were made for.
constexpr std::size_t PATH_LIMIT = 260;

// Exit statuses: the job was done, any failure, a usage error.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
