// put_backup: restores a backup archive (or sends a single tar file
// unchanged) set by set, converting each channel file to the layout that the
// controller's firmware expects.
#include "action/action_put_backup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/config_sets.h"
#include "channel/config_convert.h"
#include "common/handles.h"
#include "common/limits.h"
#include "platform/platform.h"
#include "status/status.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// The largest member a configuration set tar is taken to have; anything
// larger is damaged (or hostile) and is not unpacked into memory.
constexpr std::uint64_t SET_MEMBER_LIMIT = 64u * 1024 * 1024;
constexpr const char* TAG = "action_put_backup";

// Reads a whole file; false when it cannot be opened or read.
bool read_whole_file(const char* path, std::vector<unsigned char>* out) {
    file_ptr file(platform_fopen(path, "rb"));
    if (!file) return false;
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) out->insert(out->end(), buffer, buffer + n);
    return std::ferror(file.get()) == 0;
}

// The one-member tar that restores a set: the file under its device path.
bool build_set_tar(const std::string& path, const std::vector<unsigned char>& file, std::vector<unsigned char>* out) {
    tar_archive tar;
    tar_mem_open_write(&tar, out);
    tar_header header;
    std::snprintf(header.name, sizeof header.name, "%s", path.c_str());
    header.mode = TAR_MODE_FILE;
    header.owner = 0;
    header.type = '0';
    header.size = static_cast<std::uint32_t>(file.size());
    header.mtime = static_cast<std::uint32_t>(std::time(nullptr));
    return tar_write_header(&tar, &header) == TAR_OK &&
           tar_write_data(&tar, file.data(), static_cast<std::uint32_t>(file.size())) == TAR_OK &&
           tar_finalize(&tar) == TAR_OK;
}

// Sends a single tar file unchanged.
int push_single_tar(const std::string& base, const char* address, const char* path) {
    tar_archive tar;
    int code = path ? tar_open(&tar, path, "r") : TAR_OPEN_FAILED;
    if (code != TAR_OK) {
        console_printf("Error %d opening tar file.", code);
        return 1;
    }
    tar_close(&tar);
    std::vector<unsigned char> bytes;
    if (!read_whole_file(path, &bytes) || bytes.empty()) {
        console_printf("Error %d opening tar file.", TAR_READ_FAILED);
        return 1;
    }
    if (backup_push(base.c_str(), address, bytes.data(), bytes.size()) != 0) return 1;
    console_printf("OK\n");
    return 0;
}

// Reads the set's file out of the selected member; with `report` a damaged
// member is reported on the console.
bool read_set_file(mzsimple* zip, const restore_config_entry& entry, bool report, std::vector<unsigned char>* file) {
    const char* path = entry.path.c_str();
    std::vector<unsigned char> member;
    if (mzsimple_entry_size(zip) > SET_MEMBER_LIMIT || mzsimple_entry_read(zip, &member) <= 0) {
        if (report) console_printf("%s\terror reading '%s'\r\n", TAG, path);
        return false;
    }
    const int rc = tar_mem_member_read(member.data(), member.size(), path, file);
    if (rc == TAR_OK && !file->empty()) return true;
    if (!report) return false;
    if (rc == TAR_NOT_FOUND) {
        console_printf("%s\terror '%s' file not found.\r\n", TAG, path);
    } else if (rc == TAR_OK) {
        console_printf("%s\terror '%s' file size error\r\n", TAG, path);
    } else {
        console_printf("%s\terror reading '%s'\r\n", TAG, path);
    }
    return false;
}

// The configuration set of the selected member, or null for a member that
// is none (a folder, "tool.txt", "flashfs.bin", any other name).
const restore_config_entry* selected_set(mzsimple* zip) {
    if (mzsimple_entry_is_dir(zip) != 0) return nullptr;
    return restore_config_find(mzsimple_entry_name(zip));
}

// What the check before a restore found in an archive.
struct archive_check {
    std::size_t sets = 0;        // members that are configuration sets, damaged or not
    bool not_supported = false;  // a set that cannot be brought to the controller's layout
};

// Converts every readable set of the archive without sending anything.
// Damaged members are passed over here and reported by the restore itself.
archive_check check_archive(mzsimple* zip, const status_record& status) {
    archive_check check;
    const std::int64_t n = mzsimple_entry_count(zip);
    for (std::int64_t i = 0; i < n; ++i) {
        if (mzsimple_entry_open_index(zip, i) != 0) continue;
        if (const restore_config_entry* entry = selected_set(zip)) {
            ++check.sets;
            std::vector<unsigned char> file;
            std::vector<unsigned char> converted;
            if (read_set_file(zip, *entry, false, &file) &&
                config_convert(entry, &status, file.data(), file.size(), &converted) == CONFIG_CONVERT_NOT_SUPPORTED) {
                console_printf("\r\n");  // ends the line of the conversion's message
                check.not_supported = true;
            }
        }
        mzsimple_entry_close(zip);
    }
    return check;
}

enum class member_outcome { skipped, restored, failed };

// Restores one archive member when it is a configuration set.
member_outcome restore_member(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                              unsigned pct, set_push_fn push) {
    const restore_config_entry* entry = selected_set(zip);
    if (!entry) return member_outcome::skipped;
    const char* path = entry->path.c_str();
    std::vector<unsigned char> file;
    if (!read_set_file(zip, *entry, true, &file)) return member_outcome::failed;

    std::vector<unsigned char> converted;
    int result = config_convert(entry, &status, file.data(), file.size(), &converted);
    console_printf("%s\tpush backup file '%s'.\n", "backup", path);
    log_printf_color(COLOR_BLACK, "%u%% Restoring file %s...", pct, path);
    if (result != CONFIG_CONVERT_OK || converted.empty()) return member_outcome::failed;

    std::vector<unsigned char> set_tar;
    if (!build_set_tar(entry->path, converted, &set_tar)) return member_outcome::failed;
    if (push(base.c_str(), address, set_tar.data(), set_tar.size()) != 0) {
        const std::string set_name = entry->tar_name.substr(0, entry->tar_name.size() - 4);  // without ".tar"
        log_printf_color(COLOR_RED, "Set %s was not restored.", set_name.c_str());
        return member_outcome::failed;
    }
    console_printf("\033[32m%s\tbackup push completed.\n\n\033[0m", "backup");
    return member_outcome::restored;
}

}  // namespace

int action_put_backup(const char* address, const char* path) {
    if (!address) {
        console_printf("Missing arguments for action put_backup.");
        return EXIT_USAGE;
    }
    status_record status;
    int status_result = status_get(address, &status);
    if (status_result == 0) console_printf("model_name=%s\r\n", status.model_name->c_str());

    if (mzsimple_ptr zip = mzsimple_open(path, 0, 'r')) {
        bool accepted = backup_version_accepted(zip.get());
        mzsimple_close(std::move(zip));
        if (!accepted) {
            log_printf_color(
                COLOR_RED,
                "The backup is not supported by the installed tool version. Please upgrade the tool software.");
            // Time to read the refusal in the log window before it closes.
            platform_log_window_pause(5000);
            return EXIT_USAGE;
        }
    }
    if (status_result != 0) return EXIT_FAILED;

    std::string base;
    if (!base_url_for(address, &base)) return EXIT_FAILED;

    mzsimple_ptr zip = mzsimple_open(path, 0, 'r');
    if (!zip) return push_single_tar(base, address, path);

    return restore_archive(zip.get(), status, base, address, backup_push, path);
}

int restore_archive(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                    set_push_fn push, const char* archive_name) {
    // Every set is converted before the first one is sent: a restore that
    // cannot finish does not start.
    const archive_check check = check_archive(zip, status);
    if (check.sets == 0) {
        log_printf_color(COLOR_RED, "Backup archive '%s' holds no configuration set.",
                         archive_name ? archive_name : "");
        return 1;
    }
    if (check.not_supported) {
        log_printf_color(COLOR_RED, "Nothing was restored.");
        return 1;
    }
    int result = 0;
    const std::int64_t n = mzsimple_entry_count(zip);
    for (std::int64_t i = 0; i < n; ++i) {
        const unsigned pct = static_cast<unsigned>(i * 100 / n);
        progress_set(static_cast<int>(pct));
        if (mzsimple_entry_open_index(zip, i) != 0) continue;
        member_outcome outcome = restore_member(zip, status, base, address, pct, push);
        mzsimple_entry_close(zip);
        if (outcome == member_outcome::failed) result = 1;
    }
    // Success is claimed only when every set reached the controller.
    if (result == 0) {
        log_printf_color(COLOR_BLACK, "%u%% Restore operation completed.", 100u);
    } else {
        log_printf_color(COLOR_RED, "%u%% Restore operation ended; not every set was restored.", 100u);
    }
    return result;
}
