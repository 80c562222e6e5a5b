// export_channel: writes the channel files of the named DALI channels as
// the CSV files setup_channel imports, from the controller or from a backup.
//
// For each channel n: "channel<n>.csv" (devices) and "channel<n>_groups.csv"
// (groups) from the channel file, and "channel<n>_inputs.csv" from the
// channel inputs file when it exists in layout 3 (the only one setup_channel
// builds). setup_channel with these files writes back the same files, apart
// from the header fields its writers restamp and the CRC; whatever a file
// holds that the CSV form cannot carry is named in an orange warning.
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_check.h"
#include "backup/backup_source.h"
#include "backup/config_sets.h"
#include "channel/channel_fields.h"
#include "channel/channel_file.h"
#include "common/limits.h"
#include "common/output_file.h"
#include "import/csv_export.h"
#include "platform/platform.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// The one layout of the channel inputs file that setup_channel builds.
constexpr std::uint32_t INPUTS_CSV_LAYOUT = INPUTS_LAYOUTS.back().version;

enum class file_result { found, absent, failed };

// The file of set "<prefix><channel>", from a backup or from the controller.
file_result set_file(backup_source* from, const std::string& set_name, std::vector<unsigned char>* out) {
    const restore_config_entry* entry = restore_config_find(set_name + ".tar");
    if (entry == nullptr) return file_result::absent;  // no such channel in the set table
    const int code = backup_source_set_file(from, *entry, out);
    if (code == BACKUP_SOURCE_NOT_FOUND) return file_result::absent;
    if (code == BACKUP_SOURCE_OK) return file_result::found;
    if (from->kind != backup_source_kind::controller) {
        log_printf_color(COLOR_RED, "%s.tar: %s.", set_name.c_str(), backup_source_error(code));
    } else if (code != BACKUP_SOURCE_FETCH_FAILED) {
        log_printf_color(COLOR_RED, "Set %s of the controller is damaged.", set_name.c_str());
    }
    return file_result::failed;
}

// Decodes a channel's file; false (reported) when it is not a file of a
// known layout and size.
bool decode(std::uint32_t channel, channel_file_kind kind, const std::vector<unsigned char>& file,
            channel_fields* out) {
    if (channel_fields_decode(kind, file.data(), file.size(), out) == CHANNEL_FIELDS_OK) return true;
    log_printf_color(COLOR_RED, "Channel %u: %s file %s.", channel,
                     kind == channel_file_kind::channel ? "channel" : "channel inputs",
                     channel_file_problem(kind, file.data(), file.size()).c_str());
    return false;
}

bool write_csv(const std::string& path, const channel_fields& fields, entry_kind kind,
               std::vector<std::string>* written) {
    const std::string text = csv_export_text(fields, kind);
    if (output_file_save(path, text.data(), text.size())) {
        written->push_back(path);
        return true;
    }
    log_printf_color(COLOR_RED, "Could not write file %s.", path.c_str());
    return false;
}

void warn(std::uint32_t channel, const channel_fields& fields) {
    for (const carry_note& note : fields.notes) {
        log_printf_color(COLOR_ORANGE, "[WARN] channel %u, %s, %s: %s", channel, note.entry.c_str(), note.field.c_str(),
                         note.reason.c_str());
    }
}

std::size_t used(const channel_fields& fields, entry_kind kind) {
    std::size_t n = 0;
    for (const channel_entry& entry : fields.entries) n += entry.kind == kind && entry.used;
    return n;
}

bool export_channel(backup_source* from, std::uint32_t channel, const std::string& folder,
                    std::vector<std::string>* written) {
    const std::string number = std::to_string(channel);
    const std::string stem = platform_join_path(folder, "channel" + number);
    std::vector<unsigned char> file;
    const file_result dali = set_file(from, "dali" + number, &file);
    if (dali == file_result::absent) log_printf_color(COLOR_RED, "Channel %u: there is no channel file.", channel);
    channel_fields fields;
    if (dali != file_result::found || !decode(channel, channel_file_kind::channel, file, &fields)) return false;
    warn(channel, fields);
    if (!write_csv(stem + ".csv", fields, entry_kind::device, written) ||
        !write_csv(stem + "_groups.csv", fields, entry_kind::group, written)) {
        return false;
    }
    log_printf_color(COLOR_GREEN,
                     "Channel %u: %zu devices, %zu groups (channel file layout %u) in %s.csv and %s_groups.csv.",
                     channel, used(fields, entry_kind::device), used(fields, entry_kind::group), fields.layout,
                     stem.c_str(), stem.c_str());

    const file_result cd = set_file(from, "cd" + number, &file);
    if (cd == file_result::failed) return false;
    if (cd == file_result::absent) {
        log_printf("Channel %u: there is no channel inputs file.", channel);
        return true;
    }
    channel_fields inputs;
    if (!decode(channel, channel_file_kind::inputs, file, &inputs)) return false;
    if (inputs.layout != INPUTS_CSV_LAYOUT) {
        log_printf(
            "Channel %u: the channel inputs file has layout %u; setup_channel builds layout %u only, so no inputs CSV "
            "is written.",
            channel, inputs.layout, INPUTS_CSV_LAYOUT);
        return true;
    }
    warn(channel, inputs);
    if (!write_csv(stem + "_inputs.csv", inputs, entry_kind::input, written)) return false;
    log_printf_color(COLOR_GREEN, "Channel %u: %zu input devices in %s_inputs.csv.", channel,
                     used(inputs, entry_kind::input), stem.c_str());
    return true;
}

}  // namespace

int action_export_channel(const controller_link* link, const char* backup_path,
                          const std::vector<std::uint32_t>* channels, const char* folder,
                          std::vector<std::string>* files) {
    if (!channels || channels->empty() || channels->front() == 0) {
        log_printf_color(COLOR_RED, "Missing arguments for action export_channel.");
        return EXIT_USAGE;
    }
    if (link && backup_path) {
        log_printf_color(COLOR_RED, "Action export_channel reads from --ip or from --backupfilein, not both.");
        return EXIT_USAGE;
    }
    backup_source from;
    if (backup_path) {
        const int code = backup_source_open(backup_path, &from);
        if (code != BACKUP_SOURCE_OK) {
            log_printf_color(COLOR_RED, "%s: %s.", backup_path,
                             backup_source_error(code == BACKUP_SOURCE_NOT_FOUND ? code : BACKUP_SOURCE_NOT_A_BACKUP));
            return EXIT_USAGE;
        }
    } else {
        backup_source_open_controller(*link, &from);
    }
    if (!platform_make_folders(folder)) {
        log_printf_color(COLOR_RED, "Could not create folder %s.", folder);
        return EXIT_FAILED;
    }

    std::vector<std::string> local;
    bool all = true;
    for (std::uint32_t channel : *channels) {
        if (channel == 0) break;  // a channel number 0 ends the list
        all = export_channel(&from, channel, folder, files ? files : &local) && all;
    }
    return all ? EXIT_DONE : EXIT_FAILED;
}
