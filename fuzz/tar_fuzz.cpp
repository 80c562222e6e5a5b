// Feeds arbitrary bytes to the tar reader as a memory block, and then to the
// fetched-set check, which lists the tar and parses its "status.txt".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "backup/backup_check.h"
#include "support/tar_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Keeps the console quiet: the check prints a line per member.
    static const bool silenced = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)silenced;

    // An exact-size copy, so that any read past the block is seen. Walk
    // every header: the walk must end (each step moves forward or fails).
    tar_block_reader reader(data, size);
    tar_header header;
    std::string first_name;
    for (unsigned steps = 0; tar_read_header(&reader.tar, &header) == TAR_OK; ++steps) {
        if (steps == 0) first_name = header.name;
        const std::uint32_t before = reader.tar.pos;
        if (tar_next(&reader.tar) != TAR_OK || reader.tar.pos <= before) break;
    }

    // Find a member by name and read its data in two pieces, when the
    // member fits in the input at all (else only its first bytes).
    for (const std::string& name : {first_name, std::string("status.txt")}) {
        if (tar_find(&reader.tar, name.c_str(), &header) != TAR_OK) continue;
        std::vector<unsigned char> buffer(header.size <= size ? header.size : 16);
        const auto first = static_cast<std::uint32_t>(buffer.size() / 2);
        if (tar_read_data(&reader.tar, buffer.data(), first) == TAR_OK) {
            tar_read_data(&reader.tar, buffer.data() + first, static_cast<std::uint32_t>(buffer.size()) - first);
        }
    }
    tar_rewind(&reader.tar);
    tar_close(&reader.tar);

    backup_set_data set;
    set.data.assign(data, data + size);
    backup_check(&set);
    return 0;
}
