// setup_channel: applies one CSV file to each named DALI channel
// and uploads the resulting channel file (or channel inputs file).
//
// For every channel: fetch the channel's configuration set ("dali<n>"), read
// its channel file, apply the CSV file, wrap the written file in a
// one-member tar and push it with the restore trigger. Nothing damaged or
// empty is ever pushed: a channel whose file, firmware version or CSV file
// is missing, whose CSV file yields no data row (a file separated by
// semicolons, for one), or whose writer fails, is left as it is on the
// controller.
#include "action/action_setup_channel.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_check.h"
#include "common/limits.h"
#include "backup/config_sets.h"
#include "channel/channel_fields.h"
#include "channel/channel_file.h"
#include "import/csv_common.h"
#include "import/importcsv.h"
#include "import/importcsv_cd.h"
#include "import/importcsv_groups.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// The three kinds of run; the first file list given decides.
struct setup_kind {
    int (*import)(const backup_set_data* set, const char* path, channel_record* record);
    int (*write)(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);
    bool needs_channel_file;  // the pushed file is built on the controller's channel file
    const char* set_prefix;   // the set of the written file: "dali" or "cd", and the channel
};

const setup_kind CHANNEL_RUN = {importcsv, channel_file_write, true, "dali"};
const setup_kind GROUPS_RUN = {importcsv_groups, channel_file_write, true, "dali"};
const setup_kind INPUTS_RUN = {importcsv_cd, inputs_file_write, false, "cd"};

enum class channel_outcome { pushed, unchanged, failed, end_run };

// The file a channel's set-up wrote, against the controller's file of the
// same set (a channel file comes from the fetched set; an inputs file needs
// a fetch of its own). Compared by the fields the CSV files name, so that
// the header values a writer restamps do not count.
std::optional<set_change> written_change(const setup_kind& kind, const controller_link& link, std::uint32_t channel,
                                         const backup_set_data& fetched, const std::vector<unsigned char>& tar_bytes,
                                         const channel_io& io) {
    const std::string set_name = kind.set_prefix + std::to_string(channel);
    const restore_config_entry* entry = restore_config_find(set_name + ".tar");
    std::vector<unsigned char> written;
    if (!entry || tar_mem_member_read(tar_bytes.data(), tar_bytes.size(), entry->path.c_str(), &written) != TAR_OK)
        return set_change{'~', set_name, {}};
    backup_set_data current_set;
    const backup_set_data* holder = &fetched;
    if (!kind.needs_channel_file) {
        if (io.fetch(link, set_name.c_str(), &current_set) != 0) return set_change{'+', set_name, {}};
        holder = &current_set;
    }
    std::vector<unsigned char> current;
    if (tar_mem_member_read(holder->data.data(), holder->data.size(), entry->path.c_str(), &current) != TAR_OK)
        return set_change{'+', set_name, {}};
    const channel_file_kind file_kind =
        kind.needs_channel_file ? channel_file_kind::channel : channel_file_kind::inputs;
    channel_fields old_fields, new_fields;
    if (channel_fields_decode(file_kind, current.data(), current.size(), &old_fields) != CHANNEL_FIELDS_OK ||
        channel_fields_decode(file_kind, written.data(), written.size(), &new_fields) != CHANNEL_FIELDS_OK) {
        return set_change_of(set_name, entry->index, &current, &written);
    }
    std::vector<std::string> lines = channel_fields_compare(old_fields, new_fields);
    if (lines.empty()) return std::nullopt;
    return set_change{'~', set_name, std::move(lines)};
}

// Applies the CSV file to the fetched channel and writes the resulting
// file into a one-member tar: channel_outcome::pushed when that tar may go
// to the controller, else what stops the channel (or the run).
channel_outcome build_channel_tar(const setup_kind& kind, const backup_set_data& set, std::uint32_t channel,
                                  const char* csv_path, std::vector<unsigned char>* tar_bytes) {
    tar_archive tar;
    tar_mem_open_write(&tar, tar_bytes);
    channel_record record;
    console_printf("CH=%u\n", channel);
    console_printf("FILE=%s\n", csv_path);
    if (!set.firmware_version) {
        log_printf_color(COLOR_RED, "Firmware version unknown, channel %u not set up.", channel);
        return channel_outcome::failed;
    }
    if (channel_file_read(&set, channel, &record) != CHANNEL_FILE_OK && kind.needs_channel_file) {
        // Pushing the zero image in its place would wipe the channel.
        return channel_outcome::failed;
    }
    switch (kind.import(&set, csv_path, &record)) {
        case IMPORTCSV_OPEN_FAILED:
            log_printf_color(COLOR_RED, "Cannot open CSV file '%s'.", csv_path);
            return channel_outcome::failed;
        case IMPORTCSV_NO_DATA_ROW:
            log_printf_color(COLOR_RED, "No data row read from CSV file '%s' (fields must be separated by commas).",
                             csv_path);
            return channel_outcome::failed;
        case IMPORTCSV_PARSE_FAILED:
        case IMPORTCSV_UNSUPPORTED: return channel_outcome::end_run;
        case IMPORTCSV_DONE: break;
        default: return channel_outcome::failed;
    }
    switch (kind.write(&tar, &set, channel, &record)) {
        case CHANNEL_FILE_OK: break;
        case CHANNEL_FILE_UNSUPPORTED: return channel_outcome::end_run;
        default: return channel_outcome::failed;
    }
    if (tar_finalize(&tar) != TAR_OK) return channel_outcome::failed;
    int listed = 0;
    backup_list_tar(*tar_bytes, &listed);
    return channel_outcome::pushed;
}

channel_outcome set_up_channel(const setup_kind& kind, const controller_link& link, std::uint32_t channel,
                               const char* csv_path, const channel_io& io, const change_mode& mode,
                               channel_result* result, status_pairs* controller) {
    char set_name[32];
    std::snprintf(set_name, sizeof set_name, "dali%u", channel);
    backup_set_data set;
    if (io.fetch(link, set_name, &set) != 0) return channel_outcome::failed;
    console_printf("OK\n");
    if (controller->empty()) *controller = status_pairs_of(set);

    std::vector<unsigned char> tar_bytes;
    const channel_outcome built = build_channel_tar(kind, set, channel, csv_path, &tar_bytes);
    if (built != channel_outcome::pushed) return built;
    if (mode.check || mode.ifchanged) {
        std::optional<set_change> change = written_change(kind, link, channel, set, tar_bytes, io);
        result->changed = change.has_value();
        if (change) {
            set_changes_print({*change});
            result->diff.push_back(std::move(*change));
        } else {
            log_printf_info("Channel %u is as the CSV file says; nothing %s pushed.", channel,
                            mode.check ? "would be" : "was");
        }
        if (mode.check || !result->changed) return channel_outcome::unchanged;
    }
    if (mode.before_change && mode.before_change(mode.context) != 0) return channel_outcome::end_run;
    result->changed = true;
    if (io.push(link, tar_bytes.data(), tar_bytes.size()) != 0) return channel_outcome::failed;
    result->pushed = true;
    console_printf("OK\n");
    return channel_outcome::pushed;
}

}  // namespace

int setup_channels(const controller_link& link, const std::vector<std::uint32_t>* channels,
                   const std::vector<std::string>* channel_csv_files, const std::vector<std::string>* groups_csv_files,
                   const std::vector<std::string>* inputs_csv_files, const channel_io& io, const change_mode& mode,
                   setup_outcome* outcome) {
    setup_outcome local;
    setup_outcome& results = outcome ? *outcome : local;
    if (!channels || !(channel_csv_files || groups_csv_files || inputs_csv_files)) return EXIT_USAGE;
    auto channel_at = [&](std::size_t i) -> std::uint32_t { return i < channels->size() ? (*channels)[i] : 0; };
    if (channel_at(0) == 0) return EXIT_FAILED;

    const setup_kind& kind = channel_csv_files ? CHANNEL_RUN : groups_csv_files ? GROUPS_RUN : INPUTS_RUN;
    const std::vector<std::string>& files = channel_csv_files  ? *channel_csv_files
                                            : groups_csv_files ? *groups_csv_files
                                                               : *inputs_csv_files;

    bool all_pushed = true;
    // Channel i goes with file i; the run ends with the files, or at the
    // channel list's end (an entry 0).
    for (std::size_t i = 0; i < files.size(); ++i) {
        results.channels.push_back(channel_result{channel_at(i), false, false, {}});
        channel_outcome done = set_up_channel(kind, link, channel_at(i), files[i].c_str(), io, mode,
                                              &results.channels.back(), &results.controller);
        if (done == channel_outcome::end_run) return EXIT_FAILED;
        if (done == channel_outcome::failed) all_pushed = false;
        if (channel_at(i + 1) == 0) break;
    }
    if (mode.check) {
        std::size_t changing = 0;
        for (const channel_result& result : results.channels) changing += result.changed;
        log_printf_info("%zu channels would change.", changing);
    }
    return all_pushed ? EXIT_DONE : EXIT_FAILED;
}

int action_setup_channel(const controller_link& link, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files, const change_mode& mode,
                         setup_outcome* outcome) {
    return setup_channels(link, channels, channel_csv_files, groups_csv_files, inputs_csv_files,
                          channel_io{backup_fetch_set, backup_push}, mode, outcome);
}
