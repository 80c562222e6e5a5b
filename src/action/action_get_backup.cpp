// get_backup: the controller's configuration copied into one zip archive
// (the backup archive) or into loose files in a folder.
//
// A set the controller lacks is left out; a set (or "flashfs.bin") that it
// has but that did not arrive whole is damaged: it is named in red, every
// other member is still stored, and the run fails.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/backup_check.h"
#include "backup/config_sets.h"
#include "common/limits.h"
#include "common/output_file.h"
#include "mzsimple/mzsimple.h"
#include "platform/platform.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

enum class output_kind { zip, directory };

// Where the outputs of one run go and how they went.
struct backup_output {
    output_kind kind = output_kind::directory;
    std::string folder;               // "" means the current directory
    std::string archive_path;         // zip only
    mzsimple_ptr archive;             // zip only, while open
    bool failed = false;              // an output could not be written
    bool tool_record_failed = false;  // directory: not even tool.txt could be written
};

std::string join(const std::string& folder, const std::string& name) { return platform_join_path(folder, name); }

// Stores one output: a member of the open archive, or a loose file; false
// when it could not be stored.
bool store(backup_output& out, const std::string& name, const unsigned char* bytes, std::size_t n) {
    if (out.kind == output_kind::zip) {
        if (!out.archive) return false;
        if (mzsimple_entry_open(out.archive.get(), name.c_str()) != 0 ||
            mzsimple_entry_write(out.archive.get(), bytes, n) != 0 || mzsimple_entry_close(out.archive.get()) != 0) {
            log_printf_color(COLOR_RED, "Could not add %s to the backup archive.", name.c_str());
            out.failed = true;
            return false;
        }
        return true;
    }
    std::string path = join(out.folder, name);
    if (!output_file_save(path, bytes, n)) {
        log_printf_color(COLOR_RED, "Could not write file %s.", path.c_str());
        out.failed = true;
        if (name == "tool.txt") out.tool_record_failed = true;
        return false;
    }
    return true;
}

void report_damaged(const char* name) { log_printf_color(COLOR_RED, "Set %s could not be backed up.", name); }

// The last line of a run; it names the archive written ("(null)" for loose
// files).
std::string completed_line(const std::string& archive) { return "100% Completed (" + archive + ")."; }

// The run's log so far, as log.txt keeps it; empty when no log is kept (the
// safety backup before another action).
std::string captured_log() {
    const char* text = log_capture_text();
    return text ? std::string(text, log_capture_length()) : std::string();
}

// Stores log.txt in the archive about to be written under `name`: the log
// ends with the line that names the archive, as the console will show it.
bool store_log_naming(mzsimple* zip, const std::string& name, void*) {
    std::string log = captured_log();
    if (log.empty()) return true;
    log += completed_line(name) + "\n";
    return mzsimple_entry_open(zip, "log.txt") == 0 && mzsimple_entry_write(zip, log.data(), log.size()) == 0 &&
           mzsimple_entry_close(zip) == 0;
}

}  // namespace

namespace {

// Opens the output: for "zip" a new archive named after the controller and
// the time; loose files need nothing.
void open_output(backup_output& out, const controller_link& link, const char* folder, const char* type) {
    out.folder = folder ? folder : "";
    if (!type || std::strcmp(type, "zip") != 0) return;
    out.kind = output_kind::zip;
    std::time_t now = std::time(nullptr);
    std::tm local_time{};
    const std::tm* have_time = platform_local_time(now, &local_time) ? &local_time : nullptr;
    out.archive_path = join(out.folder, backup_archive_name(link.address.c_str(), have_time));
    out.archive = mzsimple_open(out.archive_path.c_str(), 6, 'n');
    if (!out.archive) {
        log_printf_color(COLOR_RED, "Could not open zip file for writing: %s", out.archive_path.c_str());
        out.failed = true;
    }
}

void back_up_flash(backup_output& out, const controller_link& link, backup_outcome& result) {
    std::vector<unsigned char> flashfs;
    if (action_read_file_memory(link, "flashfs.bin", FLASH_IMAGE_SIZE, &flashfs) != 0 || flashfs.empty()) {
        log_printf_color(COLOR_ORANGE, "[WARN] Could not fetch flashfs.bin for backup");
        report_damaged("flashfs.bin");
        result.damaged.push_back("flashfs.bin");
        return;
    }
    result.flashfs_stored = store(out, "flashfs.bin", flashfs.data(), flashfs.size());
}

void back_up_set(backup_output& out, const controller_link& link, const std::string& name, unsigned pct,
                 backup_outcome& result) {
    backup_set_data record;
    const int fetched = backup_fetch_set(link, name.c_str(), &record);
    switch (backup_set_classify(name.c_str(), fetched, record)) {
        case backup_set_state::damaged:
            report_damaged(name.c_str());
            result.damaged.push_back(name);
            return;
        case backup_set_state::absent:
            // Red as every failed set is, but normal: the controller has no
            // such set (the result counts them).
            console_printf("\033[31m%s\tbackup file not found for action get_backup.\r\n\r\n\033[0m", "backup");
            log_printf_color_as(message_level::unreported, COLOR_RED,
                                "%s\tbackup file not found for action get_backup.", "backup");
            ++result.absent;
            return;
        case backup_set_state::present: break;
    }
    console_printf("\033[32m%s\tbackup file OK, adding to backup archive...\r\n\r\n\033[0m", "backup");
    const std::string member = name + ".tar";
    if (out.kind == output_kind::zip && !out.archive) return;
    if (store(out, member, record.data.data(), record.data.size())) result.stored.push_back(name);
    if (result.controller.empty()) result.controller = status_pairs_of(record);
    if (out.kind == output_kind::zip) log_printf_color(COLOR_GREEN, "%u%% Backup file %s...", pct, member.c_str());
}

// The last line, log.txt, and for an archive its writing under a name of
// its own (an archive never replaces a file); `result.archive` names what
// was written.
void close_output(backup_output& out, backup_outcome& result) {
    if (out.kind == output_kind::directory) {
        log_printf_color(COLOR_GREEN, "%s", completed_line("(null)").c_str());
        if (std::string log = captured_log(); !log.empty()) {
            store(out, "log.txt", reinterpret_cast<const unsigned char*>(log.data()), log.size());
        }
        // A folder holds what could be written, tool.txt at least.
        if (!out.tool_record_failed) result.archive = out.folder.empty() ? "." : out.folder;
        return;
    }
    if (!out.archive) return;
    std::string written;
    if (mzsimple_close(std::move(out.archive), &written, store_log_naming, nullptr) != 0) {
        log_printf_color(COLOR_RED, "Could not write zip file: %s", out.archive_path.c_str());
        out.failed = true;
        return;
    }
    log_printf_color(COLOR_GREEN, "%s", completed_line(written).c_str());
    result.archive = written;
}

}  // namespace

int action_get_backup(const controller_link& link, const char* folder, const char* type,
                      const std::vector<std::string>* list, backup_outcome* outcome) {
    backup_outcome local;
    backup_outcome& result = outcome ? *outcome : local;
    result = backup_outcome{};
    // A mistyped type would fetch everything and store nothing.
    if (type && std::strcmp(type, "zip") != 0 && std::strcmp(type, "directory") != 0) {
        log_printf_color(COLOR_RED, "Unknown backup output type '%s' (zip or directory).", type);
        return EXIT_USAGE;
    }
    const std::vector<std::string>& names = list ? *list : backup_config_list();
    backup_output out;
    open_output(out, link, folder, type);
    store(out, "tool.txt", reinterpret_cast<const unsigned char*>(TOOL_RECORD), TOOL_RECORD_SIZE);
    back_up_flash(out, link, result);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const unsigned pct = static_cast<unsigned>(i * 100 / names.size());
        progress_set(static_cast<int>(pct));
        back_up_set(out, link, names[i], pct, result);
    }
    progress_set(100);
    close_output(out, result);
    return out.failed || !result.damaged.empty() ? EXIT_FAILED : EXIT_DONE;
}
