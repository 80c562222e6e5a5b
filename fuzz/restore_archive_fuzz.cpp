// The restore's walk over a backup archive (or a file that the backup
// reader must refuse): the input bytes are the archive,
// the controller's firmware version comes from a fixed set, and the push to
// the controller is replaced by a stub that accepts everything.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "action/action_put_backup.h"
#include "backup/backup.h"

namespace {

int accept_push(const controller_link&, const unsigned char* bytes, std::size_t count) {
    // Touch every byte so that a bad buffer shows up under the sanitizers.
    volatile unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = sum + bytes[i];
    return 0;
}

std::string archive_path() { return "/tmp/ornat-restore-fuzz-" + std::to_string(::getpid()) + ".zip"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = [] { return std::freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    static const std::string path = archive_path();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    backup_source source;
    if (backup_source_open(path.c_str(), &source) == BACKUP_SOURCE_OK && source.kind == backup_source_kind::archive) {
        backup_version_accepted(&source);
        status_record status;
        status.model_name = "TARNEL-4";
        status.firmware_version = (size % 3 == 0) ? "1.3.0" : (size % 3 == 1) ? "1.5.0" : "2.2.4";
        restore_archive(&source, status, controller_link{}, accept_push);
    }
    unlink(path.c_str());
    return 0;
}
