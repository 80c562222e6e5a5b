// Channel CSV import into the device entries of the channel file image.
#include "import/importcsv.h"

#include <cstring>

namespace {

constexpr std::uint32_t FIELD_COUNT = 12;

struct channel_row {
    std::uint32_t channel_word;
    std::uint32_t index;
    std::uint8_t address;
    char name[CSV_TEXT_MAX + 1];
    std::uint16_t groups;
    std::uint8_t power_on_level;
    bool power_on_false;
    std::uint8_t system_failure_level;
    std::uint8_t min_level;
    std::uint8_t max_level;
    std::uint8_t fade_rate;
    std::uint8_t fade_time;
    std::uint8_t scenes[DEVICE_SCENE_COUNT];
};

bool equals_ignore_case(const char* text, const char* word) {
    for (; *text != '\0' && *word != '\0'; ++text, ++word) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *word) return false;
    }
    return *text == '\0' && *word == '\0';
}

std::uint8_t low_byte(std::uint32_t value) { return static_cast<std::uint8_t>(value); }
std::uint8_t int_byte(const char* text) { return low_byte(static_cast<std::uint32_t>(csv_int(text))); }

std::uint16_t group_mask(const char* text) {
    std::uint16_t mask = 0;
    csv_json_list list;
    csv_json_list_open(&list, text);
    std::uint32_t value = 0;
    while (csv_json_list_next(&list, false, &value)) {
        const std::uint32_t bit = value & 31;
        if (bit < 16) mask = static_cast<std::uint16_t>(mask | (1u << bit));
    }
    csv_json_list_close(&list);
    return mask;
}

void store_field(void* values, std::uint32_t column, const char* text, std::size_t) {
    auto* row = static_cast<channel_row*>(values);
    switch (column) {
        case 0: row->channel_word = static_cast<std::uint32_t>(csv_int(text)); break;
        case 1: row->index = static_cast<std::uint32_t>(csv_int(text)); break;
        case 2: row->address = low_byte(csv_json_int(text)); break;
        case 3: csv_keep_text(row->name, text); break;
        case 4: row->groups = group_mask(text); break;
        case 5:
            if (equals_ignore_case(text, "null")) {
                row->power_on_level = LEVEL_NULL;
            } else if (equals_ignore_case(text, "false")) {
                row->power_on_level = POWER_ON_FALSE_LEVEL;
                row->power_on_false = true;
            } else {
                row->power_on_level = int_byte(text);
            }
            break;
        case 6: row->system_failure_level = equals_ignore_case(text, "null") ? LEVEL_NULL : int_byte(text); break;
        case 7: row->min_level = int_byte(text); break;
        case 8: row->max_level = int_byte(text); break;
        case 9: {
            const std::uint8_t rate = int_byte(text);
            row->fade_rate = rate == 0 ? 1 : (rate > FADE_MAX ? FADE_MAX : rate);
            break;
        }
        case 10: {
            const std::uint8_t time = int_byte(text);
            row->fade_time = time > FADE_MAX ? FADE_MAX : time;
            break;
        }
        case 11: {
            std::uint32_t levels[DEVICE_SCENE_COUNT];
            const std::size_t n = csv_json_list_read(text, true, levels, DEVICE_SCENE_COUNT);
            std::memset(row->scenes, 255, sizeof row->scenes);
            for (std::size_t i = 0; i < n; ++i) row->scenes[i] = low_byte(levels[i]);
            break;
        }
        default: break;
    }
}

void write_row(csv_row_state* state) {
    const char* firmware = csv_firmware_version(state);
    if (firmware == nullptr) return;  // no layout: dropped, the import ends with IMPORTCSV_NO_FIRMWARE
    const auto* row = static_cast<const channel_row*>(state->values);
    if (row->index >= CHANNEL_DEVICE_COUNT) return;

    const channel_layout& layout = *channel_layout_from_code(channel_layout_for(firmware));
    unsigned char* image = state->record->channel.data();
    unsigned char* entry = image + channel_device_at(layout, row->index);

    std::uint32_t flags =
        le_get_u32(entry + DEVICE_FLAGS_AT) | (row->power_on_false ? DEVICE_FLAG_CSV_OFF : DEVICE_FLAG_CSV);
    entry[DEVICE_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;

    if (row->address == UNADDRESSED) {
        switch (layout.unaddressed) {
            case UNADDRESSED_CLEAR_EXTRA:
                std::memset(image + layout.extra_area_at + row->index * layout.extra_record_size, 0,
                            layout.extra_record_size);
                break;
            case UNADDRESSED_STORE_0:
                entry[DEVICE_ADDRESS_BYTE_AT] = 0;
                flags &= ~DEVICE_FLAG_ADDRESS;
                break;
            case UNADDRESSED_STORE_255:
                entry[DEVICE_ADDRESS_BYTE_AT] = UNADDRESSED;
                flags &= ~DEVICE_FLAG_ADDRESS;
                break;
        }
    } else if (row->address < SHORT_ADDRESS_COUNT) {
        flags |= DEVICE_FLAG_ADDRESS;
        entry[DEVICE_ADDRESS_BYTE_AT] = static_cast<unsigned char>(2 * row->address + 1);
    }
    le_put_u32(entry + DEVICE_FLAGS_AT, flags);

    csv_put_name(entry + layout.name_at, DEVICE_NAME_SIZE, row->name);
    le_put_u16(entry + DEVICE_GROUPS_AT, row->groups);
    entry[DEVICE_POWER_ON_LEVEL_AT] = row->power_on_level;
    entry[DEVICE_SYSTEM_FAILURE_LEVEL_AT] = row->system_failure_level;
    entry[DEVICE_MIN_LEVEL_AT] = row->min_level;
    entry[DEVICE_MAX_LEVEL_AT] = row->max_level;
    entry[DEVICE_FADE_RATE_AT] = row->fade_rate;
    entry[DEVICE_FADE_TIME_AT] = row->fade_time;
    std::memcpy(entry + DEVICE_SCENES_AT, row->scenes, sizeof row->scenes);

    if (layout.import_sets_channel_word) le_put_u32(image + CONFIG_CHANNEL_WORD_AT, row->channel_word);
    if (layout.import_clears_device_type) {
        entry[layout.device_type_at] = 0;
        if (layout.device_type_2_at != 0) entry[layout.device_type_2_at] = 0;
    }
}

void clear_row(void* values) { *static_cast<channel_row*>(values) = channel_row{}; }

constexpr csv_import_format FORMAT = {
    "#dali-channel-csv-version: ", FIELD_COUNT, store_field, write_row, clear_row,
};

}  // namespace

int importcsv(const backup_set_data* set, const char* path, channel_record* record) {
    channel_row row{};
    return csv_import_run(&FORMAT, &row, set, path, record);
}
