#include "action/action_table.h"

#include <cstring>

#include "action/actions.h"
#include "common/controller_lock.h"
#include "common/download_dir.h"
#include "common/limits.h"
#include "platform/platform.h"
#include "window/window.h"

namespace {

template <typename T>
const T* given(const std::optional<T>& value) {
    return value ? &*value : nullptr;
}

const char* given(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

// The run's mode of change, and the safety backup it calls before its first
// change when that waits until something differs (--ifchanged).
struct deferred_backup {
    const action_row* row;
    const controller_link* link;
    run_report* report;
};

int safety_backup(const action_row& row, const controller_link& link, run_report& report);

int run_deferred_backup(void* context) {
    auto* deferred = static_cast<deferred_backup*>(context);
    return safety_backup(*deferred->row, *deferred->link, *deferred->report);
}

void set_controller(run_report& report, const status_pairs& pairs) {
    if (!pairs.empty()) report.controller = pairs;
}

int run_put_backup(const run_options& o, const controller_link& link, const change_mode& mode, run_report& report) {
    restore_outcome outcome;
    const int status = action_put_backup(link, o.backup_file_in->c_str(), mode, &outcome);
    json_value sets = json_object();
    json_set(&sets, "restored", json_texts(outcome.restored));
    json_set(&sets, "unchanged", json_texts(outcome.unchanged));
    json_set(&sets, "failed", json_texts(outcome.failed));
    json_set(&report.fields, "sets", std::move(sets));
    json_set(&report.fields, "diff", set_changes_json(outcome.diff));
    set_controller(report, outcome.controller);
    report.changed = mode.check ? !outcome.diff.empty() : !outcome.restored.empty();
    report.partial = !outcome.restored.empty();
    return status;
}

int run_get_backup(const run_options& o, const controller_link& link, const change_mode&, run_report& report) {
    // The archive of an explicit backup carries the run's log as "log.txt".
    log_capture_begin();
    backup_outcome outcome;
    int status = action_get_backup(link, given(o.backup_file_out), given(o.backup_file_out_type),
                                   given(o.backup_config), &outcome);
    log_capture_end();
    json_set(&report.fields, "archive", outcome.archive.empty() ? json_value{} : json_text(outcome.archive));
    json_value sets = json_object();
    std::vector<std::string> damaged_sets;
    for (const std::string& name : outcome.damaged) {
        if (name != "flashfs.bin") damaged_sets.push_back(name);
    }
    json_set(&sets, "stored", json_texts(outcome.stored));
    json_set(&sets, "damaged", json_texts(damaged_sets));
    json_set(&sets, "absent", json_int(outcome.absent));
    json_set(&report.fields, "sets", std::move(sets));
    json_set(&report.fields, "flashfs", json_text(outcome.flashfs_stored ? "stored" : "damaged"));
    set_controller(report, outcome.controller);
    report.partial = !outcome.archive.empty();
    return status;
}

int run_push_firmware(const run_options& o, const controller_link& link, const change_mode& mode, run_report& report) {
    firmware_outcome outcome;
    const int status = action_push_firmware(link, o.firmware_file->c_str(), o.upgrade_wait, mode, &outcome);
    json_value image;
    if (!outcome.model_name.empty()) {
        image = json_object();
        json_set(&image, "model_name", json_text(outcome.model_name));
        json_set(&image, "version_string", json_text(outcome.version_string));
    }
    json_set(&report.fields, "image", std::move(image));
    json_set(&report.fields, "firmware_before",
             outcome.firmware_before ? json_text(*outcome.firmware_before) : json_value{});
    json_set(&report.fields, "firmware_after",
             outcome.firmware_after ? json_text(*outcome.firmware_after) : json_value{});
    json_set(&report.fields, "uploaded", json_bool(outcome.uploaded));
    set_controller(report, outcome.controller);
    report.changed = outcome.changed;
    report.partial = outcome.uploaded;
    return status;
}

int run_setup_channel(const run_options& o, const controller_link& link, const change_mode& mode, run_report& report) {
    setup_outcome outcome;
    const int status =
        action_setup_channel(link, given(o.channels), given(o.channel_csv_files), given(o.channel_groups_csv_files),
                             given(o.channel_inputs_csv_files), mode, &outcome);
    json_value channels = json_array();
    for (const channel_result& result : outcome.channels) {
        json_value entry = json_object();
        json_set(&entry, "channel", json_int(result.channel));
        json_set(&entry, "changed", json_bool(result.changed));
        json_set(&entry, "pushed", json_bool(result.pushed));
        json_set(&entry, "diff", set_changes_json(result.diff));
        json_push(&channels, std::move(entry));
        report.changed = report.changed || result.changed;
        report.partial = report.partial || result.pushed;
    }
    json_set(&report.fields, "channels", std::move(channels));
    set_controller(report, outcome.controller);
    return status;
}

int run_get_status(const run_options&, const controller_link& link, const change_mode&, run_report& report) {
    status_record status;
    const int result = action_get_status(link, &status);
    const status_pairs pairs = status_pairs_of(status);
    json_set(&report.fields, "status", status_json(pairs));
    set_controller(report, pairs);
    return result;
}

int read_file(const char* remote_name, const run_options& o, const controller_link& link, run_report& report) {
    std::pair<std::string, std::uint64_t> written;
    const int status = action_read_file(link, remote_name, FLASH_IMAGE_SIZE, o.backup_file_out->c_str(), &written);
    json_set(&report.fields, "file", written.first.empty() ? json_value{} : json_text(written.first));
    json_set(&report.fields, "bytes", json_int(static_cast<std::int64_t>(written.second)));
    return status;
}

int run_read_flashraw(const run_options& o, const controller_link& link, const change_mode&, run_report& report) {
    return read_file("flashraw.bin", o, link, report);
}

int run_read_flashfs(const run_options& o, const controller_link& link, const change_mode&, run_report& report) {
    return read_file("flashfs.bin", o, link, report);
}

// Recognised names that have no operation attached: nothing is done, so
// nothing is reported as done either.
int run_nothing(const run_options&, const controller_link&, const change_mode&, run_report&) { return EXIT_FAILED; }

int run_verify_backup(const run_options& o, const controller_link&, const change_mode&, run_report& report) {
    verify_outcome outcome;
    const int status = action_verify_backup(o.backup_file_in->c_str(), &outcome);
    report.trouble = status == EXIT_USAGE;  // a backup that cannot be read
    json_set(&report.fields, "sets_checked", json_int(outcome.sets_checked));
    json_value problems = json_array();
    for (const auto& [member, text] : outcome.problems) {
        json_value problem = json_object();
        json_set(&problem, "member", json_text(member));
        json_set(&problem, "text", json_text(text));
        json_push(&problems, std::move(problem));
    }
    json_set(&report.fields, "problems", std::move(problems));
    return status;
}

int run_diff_backup(const run_options& o, const controller_link& link, const change_mode&, run_report& report) {
    std::vector<set_change> changes;
    const int status =
        action_diff_backup(o.backup_file_in->c_str(), given(o.compare_with), o.ip ? &link : nullptr, &changes);
    // Like diff, 2 is trouble (a side that cannot be read, a failed fetch);
    // only both sides given at once is a usage error.
    report.trouble = status == EXIT_USAGE && !(o.compare_with && o.ip);
    json_set(&report.fields, "diff", set_changes_json(changes));
    return status;
}

int run_export_channel(const run_options& o, const controller_link& link, const change_mode&, run_report& report) {
    std::vector<std::string> files;
    const int status = action_export_channel(o.ip ? &link : nullptr, given(o.backup_file_in), given(o.channels),
                                             o.backup_file_out->c_str(), &files);
    json_set(&report.fields, "files", json_texts(files));
    return status;
}

constexpr std::uint32_t CSV_FILES = OPTION_CHANNEL_CSV_FILE | OPTION_GROUPS_CSV_FILE | OPTION_INPUTS_CSV_FILE;

// clang-format off
const action_row ACTIONS[] = {
    {"put_backup", OPTION_IP | OPTION_BACKUP_FILE_IN, 0, 0,
     "restore a backup archive or folder, or send one set tar",
     missing_report::console, true, "Downloading backup before restoring (%s)...", run_put_backup},
    {"get_backup", OPTION_IP, 0, OPTION_BACKUP_FILE_OUT | OPTION_BACKUP_FILE_OUT_TYPE | OPTION_BACKUP_CONFIG,
     "back up the controller",
     missing_report::console_and_log, false, nullptr, run_get_backup},
    {"push_firmware", OPTION_IP | OPTION_FIRMWARE_FILE, 0, OPTION_UPGRADE_WAIT,
     "validate, upload and apply a firmware package",
     missing_report::console, true, "Downloading backup before firmware upgrade (%s)...", run_push_firmware},
    {"setup_channel", OPTION_IP | OPTION_CHANNEL, CSV_FILES, 0,
     "set up channels from CSV files",
     missing_report::console, true, nullptr, run_setup_channel},
    {"get_status", OPTION_IP, 0, 0,
     "print the controller's model name",
     missing_report::console, false, nullptr, run_get_status},
    {"read_file_flashraw", OPTION_IP | OPTION_BACKUP_FILE_OUT | OPTION_BACKUP_FILE_OUT_TYPE, 0, 0,
     "copy flashraw.bin into the folder",
     missing_report::read_file, false, nullptr, run_read_flashraw},
    {"read_file_flashfs", OPTION_IP | OPTION_BACKUP_FILE_OUT | OPTION_BACKUP_FILE_OUT_TYPE, 0, 0,
     "copy flashfs.bin into the folder",
     missing_report::read_file, false, nullptr, run_read_flashfs},
    {"write_file_flashraw", 0, 0, 0, "recognised; no operation", missing_report::console, false, nullptr, run_nothing},
    {"write_file_flashfs", 0, 0, 0, "recognised; no operation", missing_report::console, false, nullptr, run_nothing},
    {"verify_backup", OPTION_BACKUP_FILE_IN, 0, 0,
     "check a backup without any network",
     missing_report::log, false, nullptr, run_verify_backup},
    {"diff_backup", OPTION_BACKUP_FILE_IN, OPTION_COMPARE_WITH | OPTION_IP, 0,
     "list what differs between two backups, or a backup and the controller",
     missing_report::log, false, nullptr, run_diff_backup},
    {"export_channel", OPTION_CHANNEL | OPTION_BACKUP_FILE_OUT, OPTION_IP | OPTION_BACKUP_FILE_IN, 0,
     "write channels as the CSV files setup_channel reads",
     missing_report::log, false, nullptr, run_export_channel},
};
// clang-format on

void report_missing(const action_row& row) {
    switch (row.missing) {
        case missing_report::console:
            console_printf("Missing arguments for action %s.", row.name);
            // Not a log line: the run's result still tells what went wrong.
            message_note(message_level::error, std::string("Missing arguments for action ") + row.name + ".");
            break;
        case missing_report::console_and_log:
            console_printf("Missing arguments for action %s.", row.name);
            log_printf_color(COLOR_RED, "Missing arguments for action %s.", row.name);
            break;
        case missing_report::log: log_printf_color(COLOR_RED, "Missing arguments for action %s.", row.name); break;
        case missing_report::read_file:
            progress_set(0);
            log_printf_color(COLOR_RED, "[ERROR] Invalid arguments to action_read_file\n");
            break;
    }
}

// The safety backup before an action that changes the controller: a
// backup archive in the user's Downloads folder, made with the default set
// list and without a log. EXIT_FAILED when no archive could be written.
int safety_backup(const action_row& row, const controller_link& link, run_report& report) {
    std::optional<std::string> folder = user_download_dir();
    if (!folder) {
        log_printf_color(COLOR_ORANGE, "[WARN] Could not determine user download directory, skipping get_backup.");
        return EXIT_DONE;
    }
    platform_make_folders(*folder);
    log_printf_color(COLOR_GREEN, row.safety_backup, folder->c_str());
    backup_outcome outcome;
    action_get_backup(link, folder->c_str(), "zip", nullptr, &outcome);
    if (outcome.archive.empty()) {
        log_printf_color(COLOR_RED, "No safety backup could be written into %s; nothing was changed.", folder->c_str());
        return EXIT_FAILED;
    }
    report.safety_backup = outcome.archive;
    return EXIT_DONE;
}

}  // namespace

std::span<const action_row> action_table() { return ACTIONS; }

const action_row* action_find(const std::string& name) {
    for (const action_row& row : ACTIONS) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

int action_dispatch(const action_row& row, const run_options& o, run_report& report) {
    if (!run_options_have(o, row.required) || (row.one_of != 0 && !run_options_have_any(o, row.one_of))) {
        report_missing(row);
        return EXIT_USAGE;
    }
    controller_link link;
    if (o.ip && !controller_link_make(*o.ip, o.transfer, &link)) return EXIT_USAGE;  // refused while reading

    // A run that only looks (--check) takes no lock and makes no backup; a
    // run that changes only what differs makes its backup once it knows
    // that something does.
    change_mode mode;
    mode.check = o.check && row.changes_controller;
    mode.ifchanged = o.ifchanged && row.changes_controller;
    controller_lock lock;
    if (row.changes_controller && !mode.check &&
        controller_lock_take(link.address.c_str(), link.host, link.port, CONTROLLER_LOCK_WAIT_SECONDS * 1000, &lock) !=
            CONTROLLER_LOCK_TAKEN) {
        return EXIT_FAILED;
    }
    deferred_backup deferred{&row, &link, &report};
    if (row.safety_backup && !mode.check) {
        if (mode.ifchanged) {
            mode.before_change = run_deferred_backup;
            mode.context = &deferred;
        } else if (int status = safety_backup(row, link, report); status != EXIT_DONE) {
            return status;
        }
    }
    return row.run(o, link, mode, report);
}
