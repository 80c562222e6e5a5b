// diff_backup: compares the configuration sets of a backup with those of a
// second backup, or of the controller as it is now (fetched set by set as
// get_backup does; nothing is stored).
//
// Sets are compared by the bytes of the set's file, not by their tars or
// status texts; "tool.txt", "log.txt" and "flashfs.bin" are left out. In
// restore table order, one line per difference: "+ set" only in the new
// side, "- set" only in the old one, "~ set" when the file differs. Under a
// changed channel file or channel inputs file, indented lines name each
// changed entry and field by its CSV column. Like diff: 0 when nothing
// differs, 1 when something does, 2 for trouble.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_check.h"
#include "backup/backup_source.h"
#include "backup/config_sets.h"
#include "channel/channel_fields.h"
#include "common/limits.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

constexpr int EXIT_TROUBLE = 2;
// Restore table indexes of dali1..4 and cd1..4.
constexpr std::uint64_t FIRST_CHANNEL_SET = 2;
constexpr std::uint64_t FIRST_INPUTS_SET = 6;
constexpr std::uint64_t LAST_INPUTS_SET = 9;

// The set files of one side, by restore table index; absent sets are empty.
using set_files = std::vector<std::optional<std::vector<unsigned char>>>;

// Every configuration set member of a backup; false when any could not be read.
bool gather_backup(backup_source* source, set_files* files) {
    bool whole = true;
    for (const std::string& member : source->members) {
        const restore_config_entry* entry = restore_config_find(member);
        if (entry == nullptr) continue;
        std::vector<unsigned char> file;
        const int code = backup_source_set_file(source, *entry, &file);
        if (code != BACKUP_SOURCE_OK) {
            log_printf_color(COLOR_RED, "%s: %s %s.", source->path.c_str(), member.c_str(), backup_source_error(code));
            whole = false;
            continue;
        }
        (*files)[entry->index] = std::move(file);
    }
    return whole;
}

// Every configuration set the controller has; false when an exchange failed
// (the fetch stops there) or a set's tar lacks its file.
bool gather_controller(const char* address, set_files* files) {
    std::string base;
    if (!base_url_for(address, &base)) return false;
    const std::vector<std::string>& names = backup_config_list();
    bool whole = true;
    for (std::size_t i = 0; i < names.size(); ++i) {
        progress_set(static_cast<int>(i * 100 / names.size()));
        backup_set_data set;
        const int result = backup_fetch_set(base.c_str(), names[i].c_str(), &set);
        if (result == BACKUP_FETCH_TRANSFER_FAILED) {
            log_printf_color(COLOR_RED, "Could not fetch %s from the controller.", names[i].c_str());
            return false;
        }
        // A set the controller does not have is left out, as get_backup leaves it out.
        const backup_set_state state = backup_set_classify(names[i].c_str(), result, set);
        if (state == backup_set_state::absent) continue;
        const restore_config_entry* entry = restore_config_find(names[i] + ".tar");
        std::vector<unsigned char> file;
        if (state == backup_set_state::damaged || entry == nullptr ||
            tar_mem_member_read(set.data.data(), set.data.size(), entry->path.c_str(), &file) != TAR_OK) {
            log_printf_color(COLOR_RED, "Set %s of the controller is damaged.", names[i].c_str());
            whole = false;
            continue;
        }
        (*files)[entry->index] = std::move(file);
    }
    progress_set(100);
    return whole;
}

// The indented lines under "~ set" for a channel file or channel inputs file.
std::vector<std::string> channel_details(std::uint64_t index, const std::vector<unsigned char>& old_file,
                                         const std::vector<unsigned char>& new_file) {
    const channel_file_kind kind = index < FIRST_INPUTS_SET ? channel_file_kind::channel : channel_file_kind::inputs;
    channel_fields old_fields, new_fields;
    const bool old_ok = channel_fields_decode(kind, old_file.data(), old_file.size(), &old_fields) == CHANNEL_FIELDS_OK;
    const bool new_ok = channel_fields_decode(kind, new_file.data(), new_file.size(), &new_fields) == CHANNEL_FIELDS_OK;
    std::vector<std::string> lines;
    if (!old_ok) lines.push_back("    old file: " + channel_file_problem(kind, old_file.data(), old_file.size()));
    if (!new_ok) lines.push_back("    new file: " + channel_file_problem(kind, new_file.data(), new_file.size()));
    if (!old_ok || !new_ok) return lines;
    lines = channel_fields_compare(old_fields, new_fields);
    if (lines.empty() && old_fields.entries_known && new_fields.entries_known) {
        lines.push_back("    only bytes outside the CSV fields differ");
    }
    return lines;
}

}  // namespace

int action_diff_backup(const char* old_path, const char* compare_with, const char* address) {
    if (!old_path || (!compare_with && !address)) {
        log_printf_color(COLOR_RED, "Missing arguments for action diff_backup.");
        return EXIT_USAGE;
    }
    if (compare_with && address) {
        log_printf_color(COLOR_RED, "Action diff_backup compares with --comparewith or with --ip, not both.");
        return EXIT_USAGE;
    }
    backup_source old_source, new_source;
    for (auto [path, source] : {std::pair{old_path, &old_source}, std::pair{compare_with, &new_source}}) {
        if (!path) continue;
        const int code = backup_source_open(path, source);
        if (code != BACKUP_SOURCE_OK) {
            log_printf_color(COLOR_RED, "%s: %s.", path,
                             backup_source_error(code == BACKUP_SOURCE_NOT_FOUND ? code : BACKUP_SOURCE_NOT_A_BACKUP));
            return EXIT_USAGE;
        }
    }

    set_files old_files(CONFIG_SET_COUNT), new_files(CONFIG_SET_COUNT);
    bool whole = gather_backup(&old_source, &old_files);
    whole = (compare_with ? gather_backup(&new_source, &new_files) : gather_controller(address, &new_files)) && whole;
    if (!compare_with && !whole && std::all_of(new_files.begin(), new_files.end(), [](const auto& f) { return !f; })) {
        return EXIT_TROUBLE;  // nothing came from the controller: there is nothing to compare with
    }

    unsigned differing = 0;
    for (const restore_config_entry& entry : restore_config_table()) {
        const auto& o = old_files[entry.index];
        const auto& n = new_files[entry.index];
        if ((!o && !n) || (o && n && *o == *n)) continue;
        ++differing;
        const std::string name = entry.tar_name.substr(0, entry.tar_name.size() - 4);
        console_printf("%s %s\n", !o ? "+" : !n ? "-" : "~", name.c_str());
        if (!o || !n || entry.index < FIRST_CHANNEL_SET || entry.index > LAST_INPUTS_SET) continue;
        for (const std::string& line : channel_details(entry.index, *o, *n)) console_printf("%s\n", line.c_str());
    }
    log_printf("%u configuration sets differ.", differing);
    if (!whole) return EXIT_TROUBLE;
    return differing == 0 ? EXIT_DONE : EXIT_FAILED;
}
