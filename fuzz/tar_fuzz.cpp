// Feeds arbitrary bytes to the tar reader as a memory block, and then to the
// fetched-set check, which lists the tar and parses its "status.txt".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "backup/backup_check.h"
#include "tar/tar.h"

namespace {

// Keeps the console quiet: the check prints a line per member.
void silence_stdout()
{
    static const bool done = [] {
        return std::freopen("/dev/null", "w", stdout) != nullptr;
    }();
    (void)done;
}

// Reads a whole member into a buffer of exactly its size, when the member
// fits in the input at all.
void read_member(tar_archive* tar, const tar_header& header, std::size_t input_size)
{
    if (header.size > input_size) {
        std::vector<unsigned char> small(16);
        tar_read_data(tar, small.data(), static_cast<std::uint32_t>(small.size()));
        return;
    }
    std::vector<unsigned char> buffer(header.size + 1);
    tar_read_data(tar, buffer.data(), header.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    silence_stdout();

    // An exact-size copy, so that any read past the block is seen.
    auto copy = std::make_unique<unsigned char[]>(size == 0 ? 1 : size);
    if (size != 0) {
        std::memcpy(copy.get(), data, size);
    }
    tar_mem_block block{copy.get(), size};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);

    // Walk every header; the walk must end (each step moves forward or
    // fails).
    tar_header header;
    char first_name[101] = {};
    for (unsigned steps = 0; steps < 100000; ++steps) {
        if (tar_read_header(&tar, &header) != TAR_OK) {
            break;
        }
        if (steps == 0) {
            std::memcpy(first_name, header.name, sizeof first_name);
        }
        const std::uint32_t before = tar.pos;
        if (tar_next(&tar) != TAR_OK || tar.pos <= before) {
            break;
        }
    }

    // Find a member by name and read its data, whole and in two pieces.
    for (const char* name : {static_cast<const char*>(first_name), "status.txt"}) {
        if (tar_find(&tar, name, &header) == TAR_OK) {
            read_member(&tar, header, size);
            if (tar_find(&tar, name, &header) == TAR_OK && header.size > 1 && header.size <= size) {
                std::vector<unsigned char> buffer(header.size);
                if (tar_read_data(&tar, buffer.data(), 1) == TAR_OK) {
                    tar_read_data(&tar, buffer.data() + 1, header.size - 1);
                }
            }
        }
    }
    tar_rewind(&tar);
    tar_close(&tar);

    backup_set_data set;
    set.data.assign(data, data + size);
    backup_check(&set);
    return 0;
}
