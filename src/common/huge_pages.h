// Large buffers (firmware packages and images of up to 16 MiB) are filled
// once and read straight through. Backing them with transparent huge pages
// saves thousands of page faults, which under virtualisation cost more than
// the work on the bytes itself.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

// Asks for huge pages over the 2 MiB-aligned part of a buffer; a hint the
// system may ignore, never a failure.
inline void advise_huge_pages(const void* data, std::size_t size) {
    constexpr std::uintptr_t huge = 2u * 1024 * 1024;
    if (!data || size < 2 * huge) return;
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
