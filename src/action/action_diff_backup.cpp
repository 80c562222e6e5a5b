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
#include <optional>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_source.h"
#include "backup/config_sets.h"
#include "common/limits.h"
#include "window/window.h"

namespace {

constexpr int EXIT_TROUBLE = 2;

enum class side_read { found, absent, unreadable, stop };

// One set's file from one side. A backup member that cannot be read, or a
// damaged set of the controller, is named and taken as absent; a failed
// exchange with the controller stops the comparison.
side_read read_side(backup_source* source, const restore_config_entry& entry, std::vector<unsigned char>* file) {
    const int code = backup_source_set_file(source, entry, file);
    if (code == BACKUP_SOURCE_OK) return side_read::found;
    if (code == BACKUP_SOURCE_NOT_FOUND) return side_read::absent;
    const std::string set_name = config_set_name(entry);
    if (source->kind != backup_source_kind::controller) {
        log_printf_color(COLOR_RED, "%s: %s %s.", shown_name(source->path).c_str(), entry.tar_name.c_str(),
                         backup_source_error(code));
        return side_read::unreadable;
    }
    if (code == BACKUP_SOURCE_FETCH_FAILED) {
        log_printf_color(COLOR_RED, "Could not fetch %s from the controller.", set_name.c_str());
        return side_read::stop;
    }
    log_printf_color(COLOR_RED, "Set %s of the controller is damaged.", set_name.c_str());
    return side_read::unreadable;
}

// Opens one side; false after naming what is wrong with it.
bool open_side(const char* path, backup_source* source) {
    const int code = backup_source_open(path, source);
    if (code != BACKUP_SOURCE_OK) {
        log_printf_color(COLOR_RED, "%s: %s.", shown_name(path).c_str(),
                         backup_source_error(code == BACKUP_SOURCE_NOT_FOUND ? code : BACKUP_SOURCE_NOT_A_BACKUP));
        return false;
    }
    // Which of two members of one name would be compared is anyone's guess.
    for (const std::string& duplicate : backup_source_duplicates(*source)) {
        log_printf_color(COLOR_RED, "%s holds %s more than once.", shown_name(path).c_str(),
                         shown_name(duplicate).c_str());
        return false;
    }
    return true;
}

}  // namespace

int action_diff_backup(const char* old_path, const char* compare_with, const controller_link* link,
                       std::vector<set_change>* changes) {
    if (compare_with && link) {
        log_printf_color(COLOR_RED, "Action diff_backup compares with --comparewith or with --ip, not both.");
        return EXIT_USAGE;
    }
    backup_source old_source, new_source;
    if (!open_side(old_path, &old_source)) return EXIT_TROUBLE;
    if (compare_with) {
        if (!open_side(compare_with, &new_source)) return EXIT_TROUBLE;
    } else {
        backup_source_open_controller(*link, &new_source);
    }

    // One set at a time from each side, in restore table order, so that
    // memory holds at most one set file of each side.
    unsigned differing = 0;
    bool whole = true;
    const std::vector<restore_config_entry>& table = restore_config_table();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const restore_config_entry& entry = table[i];
        if (!compare_with) progress_set(static_cast<int>(i * 100 / table.size()));
        std::vector<unsigned char> o, n;
        const side_read old_read = read_side(&old_source, entry, &o);
        const side_read new_read = read_side(&new_source, entry, &n);
        if (new_read == side_read::stop) return EXIT_TROUBLE;
        whole = whole && old_read != side_read::unreadable && new_read != side_read::unreadable;
        std::optional<set_change> change =
            set_change_of(config_set_name(entry), entry.index, old_read == side_read::found ? &o : nullptr,
                          new_read == side_read::found ? &n : nullptr);
        if (!change) continue;
        ++differing;
        set_changes_print({*change});
        if (changes) changes->push_back(std::move(*change));
    }
    if (!compare_with) progress_set(100);
    log_printf("%u configuration sets differ.", differing);
    if (!whole) return EXIT_TROUBLE;
    return differing == 0 ? EXIT_DONE : EXIT_FAILED;
}
