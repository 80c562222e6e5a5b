// put_backup: restores a backup archive or folder (or sends a single tar
// file unchanged) set by set, converting each channel file to the layout
// that the controller's firmware expects.
#include "action/action_put_backup.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/config_sets.h"
#include "channel/config_convert.h"
#include "common/limits.h"
#include "platform/platform.h"
#include "status/status.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

constexpr const char* TAG = "action_put_backup";

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

// Reads the set's file out of its member; with `report` a damaged member is
// reported on the console.
bool read_set_file(backup_source* source, const restore_config_entry& entry, bool report,
                   std::vector<unsigned char>* file) {
    const char* path = entry.path.c_str();
    std::vector<unsigned char> member;
    if (backup_source_read(source, entry.tar_name, &member) != BACKUP_SOURCE_OK || member.empty()) {
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

// The members of a source in the order they are restored: an archive's in
// archive order; a folder's other files first, then its sets in the order a
// backup fetches them.
std::vector<std::string> restore_order(const backup_source& source) {
    std::vector<std::string> order = source.members;
    if (source.kind != backup_source_kind::folder) return order;
    const std::vector<std::string>& fetch = backup_config_list();
    auto position = [&fetch](const std::string& member) -> std::ptrdiff_t {
        if (!restore_config_find(member)) return -1;
        return std::find(fetch.begin(), fetch.end(), member.substr(0, member.size() - 4)) - fetch.begin();
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const std::string& a, const std::string& b) { return position(a) < position(b); });
    return order;
}

// The configuration set a member restores, or null for a member that is
// none (a folder, "tool.txt", "flashfs.bin", any other name).
const restore_config_entry* member_set(const std::string& member) {
    if (!member.empty() && member.back() == '/') return nullptr;
    return restore_config_find(member);
}

// Reads and converts every set before anything is sent: a restore that
// cannot finish does not start. False after naming what stops it.
bool check_sets(backup_source* source, const std::vector<std::string>& order, const status_record& status) {
    bool sound = true;
    for (const std::string& duplicate : backup_source_duplicates(*source)) {
        log_printf_color(COLOR_RED, "%s holds %s more than once.", shown_name(source->path).c_str(),
                         shown_name(duplicate).c_str());
        sound = false;
    }
    if (!sound) return false;
    for (const std::string& member : order) {
        const restore_config_entry* entry = member_set(member);
        if (!entry) continue;
        std::vector<unsigned char> file;
        std::vector<unsigned char> converted;
        int result = CONFIG_CONVERT_REFUSED;
        if (read_set_file(source, *entry, true, &file)) {
            result = config_convert(entry, &status, file.data(), file.size(), &converted);
        }
        if (result == CONFIG_CONVERT_NOT_SUPPORTED) {
            console_printf("\r\n");  // ends the line of the conversion's message
        } else if (result != CONFIG_CONVERT_OK || converted.empty()) {
            log_printf_color(COLOR_RED, "Set %s was not restored.", config_set_name(*entry).c_str());
        }
        sound = sound && result == CONFIG_CONVERT_OK && !converted.empty();
    }
    return sound;
}

// Restores one set that check_sets found sound.
bool restore_set(backup_source* source, const restore_config_entry& entry, const status_record& status,
                 const controller_link& link, unsigned pct, set_push_fn push) {
    const char* path = entry.path.c_str();
    std::vector<unsigned char> file;
    std::vector<unsigned char> converted;
    std::vector<unsigned char> set_tar;
    const bool ready = read_set_file(source, entry, false, &file) &&
                       config_convert(&entry, &status, file.data(), file.size(), &converted) == CONFIG_CONVERT_OK;
    console_printf("%s\tpush backup file '%s'.\n", "backup", path);
    log_printf_color(COLOR_BLACK, "%u%% Restoring file %s...", pct, path);
    if (!ready || !build_set_tar(entry.path, converted, &set_tar) ||
        push(link, set_tar.data(), set_tar.size()) != 0) {
        log_printf_color(COLOR_RED, "Set %s was not restored.", config_set_name(entry).c_str());
        return false;
    }
    console_printf("\033[32m%s\tbackup push completed.\n\n\033[0m", "backup");
    return true;
}

}  // namespace

int action_put_backup(const controller_link& link, const char* path) {
    status_record status;
    int status_result = status_get(link, &status);
    if (status_result == 0) console_printf("model_name=%s\r\n", status.model_name->c_str());

    backup_source source;
    const int opened = backup_source_open(path, &source);
    const bool backup = opened == BACKUP_SOURCE_OK && (source.kind == backup_source_kind::archive ||
                                                       source.kind == backup_source_kind::folder);
    if (backup && !backup_version_accepted(&source)) {
        log_printf_color(COLOR_RED,
                         "The backup is not supported by the installed tool version. Please upgrade the tool software.");
        // Time to read the refusal in the log window before it closes.
        platform_log_window_pause(5000);
        return EXIT_USAGE;
    }
    if (status_result != 0) return EXIT_FAILED;

    if (opened != BACKUP_SOURCE_OK) {
        console_printf("Error %d opening tar file.", source.tar_code);
        console_printf("\r\n");
        log_printf_color(COLOR_RED, "%s: %s.", shown_name(path).c_str(),
                         backup_source_error(opened == BACKUP_SOURCE_NOT_FOUND ? opened : BACKUP_SOURCE_NOT_A_BACKUP));
        return EXIT_FAILED;
    }
    if (source.kind == backup_source_kind::set_tar) {
        // A single tar is sent as it is: no lookup, no conversion.
        if (backup_push(link, source.tar.data(), source.tar.size()) != 0) return EXIT_FAILED;
        console_printf("OK\n");
        return EXIT_DONE;
    }
    return restore_archive(&source, status, link, backup_push);
}

int restore_archive(backup_source* source, const status_record& status, const controller_link& link,
                    set_push_fn push) {
    const std::vector<std::string> order = restore_order(*source);
    if (std::none_of(order.begin(), order.end(), [](const std::string& m) { return member_set(m) != nullptr; })) {
        log_printf_color(COLOR_RED, "Backup %s '%s' holds no configuration set.",
                         source->kind == backup_source_kind::folder ? "folder" : "archive",
                         shown_name(source->path).c_str());
        return EXIT_FAILED;
    }
    if (!check_sets(source, order, status)) {
        log_printf_color(COLOR_RED, "Nothing was restored.");
        return EXIT_FAILED;
    }
    bool all = true;
    const std::size_t n = order.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned pct = static_cast<unsigned>(i * 100 / n);
        progress_set(static_cast<int>(pct));
        if (const restore_config_entry* entry = member_set(order[i])) {
            all = restore_set(source, *entry, status, link, pct, push) && all;
        }
    }
    // Success is claimed only when every set reached the controller; each
    // one that did not is named above.
    if (!all) return EXIT_FAILED;
    log_printf_color(COLOR_BLACK, "%u%% Restore operation completed.", 100u);
    return EXIT_DONE;
}
