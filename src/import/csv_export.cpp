// Channel CSV files written from decoded channel files.
#include "import/csv_export.h"

#include <span>

namespace {

std::string quoted(const std::string& value) {
    std::string text = "\"";
    for (char c : value) {
        if (c == '"') text += '"';
        text += c;
    }
    return text + "\"";
}

}  // namespace

const char* csv_export_version_line(entry_kind kind) {
    switch (kind) {
        case entry_kind::device: return "#dali-channel-csv-version: 1\n";
        case entry_kind::group: return "#dali-channel-groups-csv-version: 1\n";
        case entry_kind::input: return "#dali-channel-inputs-csv-version: 1\n";
    }
    return "";
}

std::string csv_export_text(const channel_fields& fields, entry_kind kind) {
    const std::span<const csv_column> columns = csv_columns(kind);
    std::string text = csv_export_version_line(kind);
    // A comment row: a field starting with "#" keeps the import from storing it.
    text += "#columns: ";
    for (std::size_t c = 0; c < columns.size(); ++c) text += (c == 0 ? "" : ",") + std::string(columns[c].name);
    text += '\n';
    for (const channel_entry& entry : fields.entries) {
        if (entry.kind != kind || !entry.used) continue;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c != 0) text += ',';
            text += columns[c].form == field_form::number ? entry.values[c] : quoted(entry.values[c]);
        }
        text += '\n';
    }
    return text;
}
