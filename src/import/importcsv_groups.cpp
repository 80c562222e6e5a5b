// Channel groups CSV import into the group entries of the channel file image.
#include "import/importcsv_groups.h"

namespace {

constexpr std::uint32_t FIELD_COUNT = 3;

struct group_row {
    std::uint32_t index;
    char name[CSV_TEXT_MAX + 1];
};

void store_field(void* values, std::uint32_t column, const char* text, std::size_t) {
    auto* row = static_cast<group_row*>(values);
    if (column == 1) row->index = static_cast<std::uint32_t>(csv_int(text));
    if (column == 2) csv_keep_text(row->name, text);
}

void write_row(csv_row_state* state) {
    const char* firmware = csv_firmware_version(state);
    if (firmware == nullptr) return;  // no layout: dropped, the import ends with IMPORTCSV_NO_FIRMWARE
    const auto* row = static_cast<const group_row*>(state->values);
    if (row->index >= CHANNEL_GROUP_COUNT) return;

    const channel_layout& layout = *channel_layout_from_code(channel_layout_for(firmware));
    unsigned char* entry = state->record->channel.data() + channel_group_at(layout, row->index);
    csv_put_name(entry + GROUP_NAME_AT, GROUP_NAME_SIZE, row->name);
    entry[GROUP_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;
}

void clear_row(void* values) { *static_cast<group_row*>(values) = group_row{}; }

constexpr csv_import_format FORMAT = {
    "#dali-channel-groups-csv-version: ", FIELD_COUNT, store_field, write_row, clear_row,
};

}  // namespace

int importcsv_groups(const backup_set_data* set, const char* path, channel_record* record) {
    group_row row{};
    return csv_import_run(&FORMAT, &row, set, path, record);
}
