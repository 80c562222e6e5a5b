// config_convert over arbitrary file bytes: every class of set index and a
// range of controller firmware versions, chosen by the first input byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "channel/config_convert.h"

namespace {
const char* const FIRMWARE[] = {nullptr, "",      "0.9",    "1.0.0", "1.3.0", "1.3.1",
                                "1.4.9", "1.5.0", "1.10.0", "2.2.3", "2.2.4", "9.9"};
const std::uint64_t INDEXES[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14, 283, 602, 603, 0xFFFFFFFFFFFFFFFFull};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static bool quiet = [] { return std::freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    const std::uint8_t choice = data[0];
    status_record status;
    status.model_name = "TARNEL-4";
    if (const char* fw = FIRMWARE[choice % (sizeof FIRMWARE / sizeof FIRMWARE[0])]) status.firmware_version = fw;
    restore_config_entry entry{INDEXES[(choice / 12) % (sizeof INDEXES / sizeof INDEXES[0])], "x.tar", "/x"};
    // The file: the rest of the input, copied so that a read past its end is caught.
    std::vector<unsigned char> file(data + 1, data + size);
    std::vector<unsigned char> out;
    config_convert(&entry, &status, file.data(), file.size(), &out);
    // Stretch short inputs to the exact layout sizes now and then, so that the
    // conversions themselves run on fuzzed contents.
    for (std::size_t target : {std::size_t{11168}, std::size_t{10912}, std::size_t{9436}}) {
        if (file.size() >= 12 && (choice & 0x80)) {
            std::vector<unsigned char> stretched(target);
            for (std::size_t i = 0; i < target; ++i) stretched[i] = file[i % file.size()];
            config_convert(&entry, &status, stretched.data(), stretched.size(), &out);
        }
    }
    return 0;
}
