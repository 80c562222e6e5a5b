// Channel inputs CSV import into the channel inputs file image.
#include "import/importcsv_cd.h"

#include "window/window.h"

namespace {

constexpr std::uint32_t FIELD_COUNT = 20;
constexpr std::uint32_t FIRST_LIST_COLUMN = 6;
constexpr std::uint32_t LIST_COUNT = FIELD_COUNT - FIRST_LIST_COLUMN;
constexpr std::uint32_t TYPES_LIST = 6 - FIRST_LIST_COLUMN;
constexpr std::uint32_t SECONDS_LIST = 7 - FIRST_LIST_COLUMN;
constexpr std::uint32_t BLOCK_LIST = 8 - FIRST_LIST_COLUMN;
constexpr int REQUIRED_LAYOUT_CODE = 3;

struct inputs_row {
    std::uint32_t channel_word;
    std::uint32_t index;
    std::uint8_t address;
    char name[CSV_TEXT_MAX + 1];
    std::uint32_t flags;
    std::uint8_t input_param;
    std::uint32_t lists[LIST_COUNT][INPUTS_INSTANCE_COUNT];
};

std::uint8_t low_byte(std::uint32_t value) { return static_cast<std::uint8_t>(value); }

void store_field(void* values, std::uint32_t column, const char* text, std::size_t length) {
    auto* row = static_cast<inputs_row*>(values);
    switch (column) {
        case 0: row->channel_word = static_cast<std::uint32_t>(csv_int(text)); break;
        case 1: row->index = static_cast<std::uint32_t>(csv_int(text)); break;
        case 2: row->address = low_byte(csv_json_int(text)); break;
        case 3: csv_keep_text(row->name, text); break;
        case 4: row->flags = static_cast<std::uint32_t>(csv_int(text)); break;
        case 5: row->input_param = low_byte(static_cast<std::uint32_t>(csv_int(text))); break;
        default:
            if (column >= FIRST_LIST_COLUMN && column < FIELD_COUNT && length > 0) {
                std::uint32_t* list = row->lists[column - FIRST_LIST_COLUMN];
                for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) list[k] = 0;
                csv_json_list_read(text, false, list, INPUTS_INSTANCE_COUNT);
            }
            break;
    }
}

void write_row(csv_row_state* state) {
    const char* firmware = csv_firmware_version(state);
    if (firmware == nullptr) return;  // no layout: dropped, the import ends with IMPORTCSV_NO_FIRMWARE
    if (channel_layout_for(firmware) != REQUIRED_LAYOUT_CODE) {
        console_printf("%s\terror version %s not supported.\r\n", "importcsv_cd", firmware);
        state->result = IMPORTCSV_UNSUPPORTED;
        state->stop = true;
        return;
    }
    const auto* row = static_cast<const inputs_row*>(state->values);
    if (row->index >= INPUTS_DEVICE_COUNT) return;

    const inputs_layout& layout = *inputs_layout_from_code(REQUIRED_LAYOUT_CODE);
    unsigned char* image = state->record->inputs.data();
    unsigned char* entry = image + inputs_entry_at(row->index);

    std::uint32_t flags = row->flags | DEVICE_FLAG_CSV;
    entry[INPUT_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;
    le_put_u32(image + CONFIG_CHANNEL_WORD_AT, row->channel_word);
    if (row->address == UNADDRESSED) {
        entry[INPUT_ADDRESS_BYTE_AT] = UNADDRESSED;
        flags &= ~DEVICE_FLAG_ADDRESS;
    } else if (row->address < SHORT_ADDRESS_COUNT) {
        flags |= DEVICE_FLAG_ADDRESS;
        entry[INPUT_ADDRESS_BYTE_AT] = static_cast<unsigned char>(2 * row->address + 1);
    }
    le_put_u32(entry + INPUT_FLAGS_AT, flags);

    csv_put_name(entry + INPUT_NAME_AT, INPUT_NAME_SIZE, row->name);
    entry[INPUT_PARAM_AT] = row->input_param > INPUT_PARAM_MAX ? INPUT_PARAM_MAX : row->input_param;
    for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
        entry[INPUT_INSTANCES_AT + 2 * k] = low_byte(row->lists[TYPES_LIST][k]);
        entry[INPUT_INSTANCES_AT + 2 * k + 1] = low_byte(row->lists[SECONDS_LIST][k]);
    }

    unsigned char* block = image + inputs_block_at(layout, row->index);
    block[layout.block_param_at] = low_byte(row->lists[BLOCK_LIST][0]);
    for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
        const int t = instance_type_index(entry[INPUT_INSTANCES_AT + 2 * k]);
        if (t < 0) continue;
        const instance_type_data& type = INSTANCE_TYPES[static_cast<std::size_t>(t)];
        unsigned char* record = block + layout.records_at + k * layout.record_stride[static_cast<std::size_t>(t)];
        for (std::uint32_t c = 0; c < type.csv_columns; ++c) {
            record[type.csv_first_byte + c] = low_byte(row->lists[type.csv_first_column - FIRST_LIST_COLUMN + c][k]);
        }
    }
}

void clear_row(void* values) { *static_cast<inputs_row*>(values) = inputs_row{}; }

constexpr csv_import_format FORMAT = {
    "#dali-channel-inputs-csv-version: ", FIELD_COUNT, store_field, write_row, clear_row,
};

}  // namespace

int importcsv_cd(const backup_set_data* set, const char* path, channel_record* record) {
    inputs_row row{};
    return csv_import_run(&FORMAT, &row, set, path, record);
}
