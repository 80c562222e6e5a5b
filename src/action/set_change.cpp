// The changes of configuration sets as diff_backup prints them, shared by
// diff_backup and the runs that compare what they would change with the
// controller (--check, --ifchanged).
#include "action/actions.h"
#include "backup/backup_check.h"
#include "backup/config_sets.h"
#include "channel/channel_fields.h"
#include "window/window.h"

namespace {

// The indented lines under "~ set" for a channel file or channel inputs file.
std::vector<std::string> channel_details(config_set_layout layout, const std::vector<unsigned char>& old_file,
                                         const std::vector<unsigned char>& new_file) {
    const channel_file_kind kind =
        layout == config_set_layout::channel ? channel_file_kind::channel : channel_file_kind::inputs;
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

status_pairs status_pairs_of(const status_record& status) {
    status_pairs pairs;
    for (const status_field& f : STATUS_FIELDS) {
        if (status.*f.field) pairs.emplace_back(f.key, *(status.*f.field));
    }
    pairs.insert(pairs.end(), status.others.begin(), status.others.end());
    return pairs;
}

status_pairs status_pairs_of(const backup_set_data& set) {
    status_pairs pairs;
    for (auto [key, value] :
         {std::pair{"model_name", &set.model_name}, std::pair{"firmware_version", &set.firmware_version},
          std::pair{"serial_number", &set.serial_number}, std::pair{"mac", &set.mac}}) {
        if (*value) pairs.emplace_back(key, **value);
    }
    return pairs;
}

std::optional<set_change> set_change_of(const std::string& set, std::uint64_t index,
                                        const std::vector<unsigned char>* old_file,
                                        const std::vector<unsigned char>* new_file) {
    if ((!old_file && !new_file) || (old_file && new_file && *old_file == *new_file)) return std::nullopt;
    set_change change;
    change.mark = !old_file ? '+' : !new_file ? '-' : '~';
    change.set = set;
    const config_set_layout layout = config_set_layout_of(index);
    if (old_file && new_file && layout != config_set_layout::none) {
        change.lines = channel_details(layout, *old_file, *new_file);
    }
    return change;
}

void set_changes_print(const std::vector<set_change>& changes) {
    for (const set_change& change : changes) {
        console_printf("%c %s\n", change.mark, change.set.c_str());
        for (const std::string& line : change.lines) console_printf("%s\n", line.c_str());
    }
}
