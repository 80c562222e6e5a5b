// Fuzzes the channel, groups and inputs CSV imports with arbitrary file
// contents. The first input byte chooses whether each import gets its
// version line in front of the rest, so that the row writers are reached
// without the fuzzer having to find the headers first; the rest is the file.
// Every import runs for a layout-3 controller ("1.5.0") and a layout-1 one
// ("1.3.0"), each on a fresh heap record so that the address sanitizer sees
// any write past the images.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "import/importcsv.h"
#include "import/importcsv_cd.h"
#include "import/importcsv_groups.h"

namespace {

std::string csv_path;

struct import_kind {
    int (*run)(const backup_set_data*, const char*, channel_record*);
    const char* header;
};

const import_kind IMPORTS[] = {
    {importcsv, "#dali-channel-csv-version: 1\n"},
    {importcsv_groups, "#dali-channel-groups-csv-version: 1\n"},
    {importcsv_cd, "#dali-channel-inputs-csv-version: 1\n"},
};

const char* const FIRMWARES[] = {"1.5.0", "1.3.0"};

bool write_file(const std::string& text) {
    std::ofstream file(csv_path, std::ios::binary);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char path[] = "/tmp/ornat-importcsv-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) std::abort();
    close(fd);
    csv_path = path;
    std::atexit([] { std::remove(csv_path.c_str()); });
    // The imports print a count line per file; keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned selector = data[0];
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    for (std::size_t i = 0; i < std::size(IMPORTS); ++i) {
        const std::string text = ((selector >> i) & 1) != 0 ? IMPORTS[i].header + body : body;
        if (!write_file(text)) std::abort();
        for (const char* firmware : FIRMWARES) {
            backup_set_data set;
            set.firmware_version = firmware;
            auto record = std::make_unique<channel_record>();
            IMPORTS[i].run(&set, csv_path.c_str(), record.get());
        }
    }
    return 0;
}
