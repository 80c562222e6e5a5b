// put_backup: restores a backup archive or folder (or sends a single tar
// file unchanged) set by set, converting each channel file to the layout
// that the controller's firmware expects.
#include "action/action_put_backup.h"

#include <algorithm>
#include <optional>
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
// cannot finish does not start. False after naming what stops it. With a
// controller to compare with, `changes` gets each set whose converted file
// differs from the controller's (in order, `differs` says which).
bool check_sets(backup_source* source, const std::vector<std::string>& order, const status_record& status,
                backup_source* controller, std::vector<set_change>* changes, std::vector<bool>* differs) {
    bool sound = true;
    for (const std::string& duplicate : backup_source_duplicates(*source)) {
        log_printf_color(COLOR_RED, "%s holds %s more than once.", shown_name(source->path).c_str(),
                         shown_name(duplicate).c_str());
        sound = false;
    }
    if (!sound) return false;
    for (const std::string& member : order) {
        const restore_config_entry* entry = member_set(member);
        differs->push_back(false);
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
        if (!sound || !controller) continue;
        std::vector<unsigned char> current;
        const int code = backup_source_set_file(controller, *entry, &current);
        if (code == BACKUP_SOURCE_FETCH_FAILED) {
            log_printf_color(COLOR_RED, "Could not fetch %s from the controller.", config_set_name(*entry).c_str());
            return false;
        }
        // A set the controller lacks, or has damaged, is one the restore writes anew.
        std::optional<set_change> change = set_change_of(config_set_name(*entry), entry->index,
                                                         code == BACKUP_SOURCE_OK ? &current : nullptr, &converted);
        if (change) {
            changes->push_back(std::move(*change));
            differs->back() = true;
        }
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
    if (!ready || !build_set_tar(entry.path, converted, &set_tar) || push(link, set_tar.data(), set_tar.size()) != 0) {
        log_printf_color(COLOR_RED, "Set %s was not restored.", config_set_name(entry).c_str());
        return false;
    }
    console_printf("\033[32m%s\tbackup push completed.\n\n\033[0m", "backup");
    return true;
}

}  // namespace

namespace {

// What a run with --check or --ifchanged found: the changes are shown as
// diff_backup shows them. True when there is nothing left to do.
bool report_changes(const change_mode& mode, const std::vector<set_change>& changes) {
    if (!mode.check && !mode.ifchanged) return false;
    set_changes_print(changes);
    if (mode.check) {
        log_printf_info("%zu configuration sets would change.", changes.size());
        return true;
    }
    if (!changes.empty()) return false;
    log_printf_info("Nothing to restore: the controller holds every set of the backup as it is.");
    return true;
}

// The change a single set tar would make: its file against the
// controller's, when the tar holds a set's file; when it holds none, the
// tar is taken to change something.
std::vector<set_change> single_tar_changes(const backup_source& source, const controller_link& link) {
    std::vector<set_change> changes;
    const restore_config_entry* entry = restore_config_find(source.members.front());
    std::vector<unsigned char> file;
    if (!entry || tar_mem_member_read(source.tar.data(), source.tar.size(), entry->path.c_str(), &file) != TAR_OK) {
        changes.push_back(set_change{'~', source.members.front(), {}});
        return changes;
    }
    backup_source controller;
    backup_source_open_controller(link, &controller);
    std::vector<unsigned char> current;
    const int code = backup_source_set_file(&controller, *entry, &current);
    if (std::optional<set_change> change = set_change_of(config_set_name(*entry), entry->index,
                                                         code == BACKUP_SOURCE_OK ? &current : nullptr, &file)) {
        changes.push_back(std::move(*change));
    }
    return changes;
}

int before_change(const change_mode& mode) { return mode.before_change ? mode.before_change(mode.context) : 0; }

}  // namespace

int action_put_backup(const controller_link& link, const char* path, const change_mode& mode,
                      restore_outcome* outcome) {
    restore_outcome local;
    restore_outcome& result = outcome ? *outcome : local;
    status_record status;
    int status_result = status_get(link, &status);
    if (status_result == 0) {
        console_printf("model_name=%s\r\n", status.model_name->c_str());
        result.controller = status_pairs_of(status);
    }

    backup_source source;
    const int opened = backup_source_open(path, &source);
    const bool backup = opened == BACKUP_SOURCE_OK &&
                        (source.kind == backup_source_kind::archive || source.kind == backup_source_kind::folder);
    if (backup && !backup_version_accepted(&source)) {
        log_printf_color(
            COLOR_RED, "The backup is not supported by the installed tool version. Please upgrade the tool software.");
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
        if (mode.check || mode.ifchanged) result.diff = single_tar_changes(source, link);
        if (report_changes(mode, result.diff)) return EXIT_DONE;
        if (before_change(mode) != 0) return EXIT_FAILED;
        const std::string name = source.members.front().substr(0, source.members.front().rfind(".tar"));
        if (backup_push(link, source.tar.data(), source.tar.size()) != 0) {
            result.failed.push_back(name);
            return EXIT_FAILED;
        }
        result.restored.push_back(name);
        console_printf("OK\n");
        return EXIT_DONE;
    }
    return restore_archive(&source, status, link, backup_push, mode, &result);
}

int restore_archive(backup_source* source, const status_record& status, const controller_link& link, set_push_fn push,
                    const change_mode& mode, restore_outcome* outcome) {
    restore_outcome local;
    restore_outcome& result = outcome ? *outcome : local;
    const std::vector<std::string> order = restore_order(*source);
    if (std::none_of(order.begin(), order.end(), [](const std::string& m) { return member_set(m) != nullptr; })) {
        log_printf_color(COLOR_RED, "Backup %s '%s' holds no configuration set.",
                         source->kind == backup_source_kind::folder ? "folder" : "archive",
                         shown_name(source->path).c_str());
        return EXIT_FAILED;
    }
    backup_source controller;
    const bool compare = mode.check || mode.ifchanged;
    if (compare) backup_source_open_controller(link, &controller);
    std::vector<bool> differs;
    if (!check_sets(source, order, status, compare ? &controller : nullptr, &result.diff, &differs)) {
        log_printf_color(COLOR_RED, "Nothing was restored.");
        return EXIT_FAILED;
    }
    if (mode.ifchanged) {
        for (std::size_t i = 0; i < order.size(); ++i) {
            const restore_config_entry* entry = member_set(order[i]);
            if (entry && !differs[i]) result.unchanged.push_back(config_set_name(*entry));
        }
    }
    if (report_changes(mode, result.diff)) return EXIT_DONE;
    if (before_change(mode) != 0) return EXIT_FAILED;
    bool all = true;
    const std::size_t n = order.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned pct = static_cast<unsigned>(i * 100 / n);
        progress_set(static_cast<int>(pct));
        const restore_config_entry* entry = member_set(order[i]);
        if (!entry) continue;
        if (mode.ifchanged && !differs[i]) continue;
        const bool restored = restore_set(source, *entry, status, link, pct, push);
        (restored ? result.restored : result.failed).push_back(config_set_name(*entry));
        all = restored && all;
    }
    // Success is claimed only when every set reached the controller; each
    // one that did not is named above.
    if (!all) return EXIT_FAILED;
    log_printf_color(COLOR_BLACK, "%u%% Restore operation completed.", 100u);
    return EXIT_DONE;
}
