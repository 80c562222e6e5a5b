// Channel files as named fields: decoding every layout into the values of
// the CSV columns, the notes on what the CSV form cannot carry, and the
// field-by-field comparison of two files.
#include "channel/channel_fields.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "channel/channel_file.h"

namespace {

constexpr std::size_t ADDRESS_COLUMN = 2;
// Bytes 20..27 of the inputs file header: kept, never written by an import.
constexpr std::uint32_t INPUTS_HEADER_KEPT_AT = 20;
constexpr std::uint32_t INPUTS_HEADER_END = INPUTS_ENTRIES_AT;

constexpr csv_column DEVICE_COLUMNS[] = {
    {"channel", field_form::number},
    {"index", field_form::number},
    {"address", field_form::number},
    {"name", field_form::text},
    {"groups", field_form::list},
    {"power_on_level", field_form::number},
    {"system_failure_level", field_form::number},
    {"min_level", field_form::number},
    {"max_level", field_form::number},
    {"fade_rate", field_form::number},
    {"fade_time", field_form::number},
    {"scenes", field_form::list},
};

constexpr csv_column GROUP_COLUMNS[] = {
    {"channel", field_form::number},
    {"index", field_form::number},
    {"name", field_form::text},
};

// Columns 9 to 19 carry the instance records, by instance type in the order
// of INSTANCE_TYPES: push buttons (type 1), occupancy sensors (3), light
// sensors (4).
constexpr std::size_t INPUT_RECORD_COLUMN = 9;
constexpr csv_column INPUT_COLUMNS[] = {
    {"channel", field_form::number},      {"index", field_form::number},         {"address", field_form::number},
    {"name", field_form::text},           {"flags", field_form::number},         {"input_param", field_form::number},
    {"instance_types", field_form::list}, {"instance_values", field_form::list}, {"block_param", field_form::list},
    {"button_1", field_form::list},       {"button_2", field_form::list},        {"button_3", field_form::list},
    {"button_4", field_form::list},       {"button_5", field_form::list},        {"button_6", field_form::list},
    {"occupancy_1", field_form::list},    {"occupancy_2", field_form::list},     {"occupancy_3", field_form::list},
    {"light_1", field_form::list},        {"light_2", field_form::list},
};
static_assert(std::size(DEVICE_COLUMNS) == 12 && std::size(GROUP_COLUMNS) == 3 && std::size(INPUT_COLUMNS) == 20);
static_assert(INSTANCE_TYPES[0].csv_first_column == INPUT_RECORD_COLUMN &&
              INSTANCE_TYPES[2].csv_first_column + INSTANCE_TYPES[2].csv_columns == std::size(INPUT_COLUMNS));

std::string number(std::uint32_t value) { return std::to_string(value); }

// A JSON array of the values, without the trailing ones equal to `fill`
// (the import fills them in itself); values equal to `null_value` are
// written as null when `use_null`.
template <std::size_t N>
std::string list(const std::array<std::uint32_t, N>& values, std::size_t count, std::uint32_t fill,
                 bool use_null = false, std::uint32_t null_value = 0) {
    while (count > 0 && values[count - 1] == fill) --count;
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) text += ',';
        text += use_null && values[i] == null_value ? std::string("null") : number(values[i]);
    }
    return text + "]";
}

// The text of a name field: its bytes up to the first NUL, at most size - 1.
std::string field_text(const unsigned char* field, std::size_t size) {
    std::size_t n = 0;
    while (n + 1 < size && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

// Why a name field does not come back the same from its CSV text, or null:
// the import NUL-fills the field behind the text, and a field starting with
// "#" makes its whole row a comment.
const char* text_problem(const unsigned char* field, std::size_t size) {
    const std::size_t n = field_text(field, size).size();
    for (std::size_t i = n; i < size; ++i) {
        if (field[i] != 0) return "bytes after the name's end; the import fills them with NUL";
    }
    if (n > 0 && field[0] == '#') return "starts with '#', which makes its CSV row a comment";
    return nullptr;
}

bool all_zero(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

struct decoder {
    const unsigned char* file;
    channel_fields* out;

    void note(const channel_entry& entry, const std::string& field, const std::string& reason) const {
        out->notes.push_back({channel_entry_label(entry), field, reason});
    }
};

// ---- channel file --------------------------------------------------------------

void decode_device(const decoder& d, const channel_layout& layout, std::uint32_t index) {
    const unsigned char* e = d.file + channel_device_at(layout, index);
    const std::uint32_t flags = le_get_u32(e + DEVICE_FLAGS_AT);
    const std::uint8_t address_byte = e[DEVICE_ADDRESS_BYTE_AT];
    const bool has_address = (flags & DEVICE_FLAG_ADDRESS) != 0;
    const bool valid_address = (address_byte & 1) != 0 && address_byte < 2 * SHORT_ADDRESS_COUNT;
    const std::uint8_t power_on = e[DEVICE_POWER_ON_LEVEL_AT];
    const bool power_on_false = (flags & DEVICE_FLAG_CSV_OFF) != 0 && power_on == POWER_ON_FALSE_LEVEL;

    channel_entry entry;
    entry.kind = entry_kind::device;
    entry.index = index;
    entry.used =
        e[DEVICE_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || (flags & (DEVICE_FLAG_CSV | DEVICE_FLAG_CSV_OFF)) != 0;

    std::array<std::uint32_t, 16> groups{};
    std::size_t group_count = 0;
    const std::uint16_t mask = le_get_u16(e + DEVICE_GROUPS_AT);
    for (std::uint32_t g = 0; g < 16; ++g) {
        if ((mask >> g) & 1) groups[group_count++] = g;
    }
    std::array<std::uint32_t, DEVICE_SCENE_COUNT> scenes{};
    for (std::uint32_t s = 0; s < DEVICE_SCENE_COUNT; ++s) scenes[s] = e[DEVICE_SCENES_AT + s];

    entry.values = {
        number(d.out->channel_word),
        number(index),
        has_address && valid_address ? number((address_byte - 1u) / 2) : "null",
        field_text(e + layout.name_at, DEVICE_NAME_SIZE),
        list(groups, group_count, 0xFFFFFFFF),
        power_on_false           ? "false"
        : power_on == LEVEL_NULL ? "null"
                                 : number(power_on),
        e[DEVICE_SYSTEM_FAILURE_LEVEL_AT] == LEVEL_NULL ? "null" : number(e[DEVICE_SYSTEM_FAILURE_LEVEL_AT]),
        number(e[DEVICE_MIN_LEVEL_AT]),
        number(e[DEVICE_MAX_LEVEL_AT]),
        number(e[DEVICE_FADE_RATE_AT]),
        number(e[DEVICE_FADE_TIME_AT]),
        list(scenes, scenes.size(), SCENE_UNSET, true, SCENE_UNSET),
    };

    if (entry.used) {
        // What the channel CSV import writes for this row, against what is there.
        if ((flags & DEVICE_FLAG_CSV) == 0 && !power_on_false) {
            if ((flags & DEVICE_FLAG_CSV_OFF) != 0) {
                d.note(entry, "power_on_level",
                       number(power_on) + " with flags bit 3, which only a \"false\" row (level 100) sets");
            } else {
                d.note(entry, "flags", "bit 1 clear; the import sets it");
            }
        }
        if (e[DEVICE_ENTRY_MARKER_AT] != ENTRY_MARKER_SET) {
            d.note(entry, "entry_marker", number(e[DEVICE_ENTRY_MARKER_AT]) + "; the import writes 255");
        }
        if (has_address && !valid_address) {
            d.note(entry, "address", "address byte " + number(address_byte) + " is no short address");
        }
        if (!(has_address && valid_address)) {
            switch (layout.unaddressed) {
                case UNADDRESSED_CLEAR_EXTRA:
                    if (!all_zero(d.file + layout.extra_area_at + index * layout.extra_record_size,
                                  layout.extra_record_size)) {
                        d.note(entry, "address",
                               "no short address, and a row without one clears the device's extra-area record");
                    }
                    break;
                case UNADDRESSED_STORE_0:
                    if (!has_address && address_byte != 0) {
                        d.note(
                            entry, "address",
                            "address byte " + number(address_byte) + " without the address flag; the import writes 0");
                    }
                    break;
                case UNADDRESSED_STORE_255:
                    if (!has_address && address_byte != UNADDRESSED) {
                        d.note(entry, "address",
                               "address byte " + number(address_byte) +
                                   " without the address flag; the import writes 255");
                    }
                    break;
            }
        }
        if (const char* why = text_problem(e + layout.name_at, DEVICE_NAME_SIZE)) d.note(entry, "name", why);
        const std::uint8_t rate = e[DEVICE_FADE_RATE_AT];
        if (rate == 0 || rate > FADE_MAX)
            d.note(entry, "fade_rate", number(rate) + "; the import keeps it within 1..15");
        if (e[DEVICE_FADE_TIME_AT] > FADE_MAX) {
            d.note(entry, "fade_time", number(e[DEVICE_FADE_TIME_AT]) + "; the import keeps it within 0..15");
        }
        if (layout.import_clears_device_type) {
            if (e[layout.device_type_at] != 0) {
                d.note(entry, "device_type", number(e[layout.device_type_at]) + "; the import writes 0");
            }
            if (layout.device_type_2_at != 0 && e[layout.device_type_2_at] != 0) {
                d.note(entry, "device_type_2", number(e[layout.device_type_2_at]) + "; the import writes 0");
            }
        }
    }
    d.out->entries.push_back(std::move(entry));
}

void decode_group(const decoder& d, const channel_layout& layout, std::uint32_t index) {
    const unsigned char* g = d.file + channel_group_at(layout, index);
    channel_entry entry;
    entry.kind = entry_kind::group;
    entry.index = index;
    entry.used = g[GROUP_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || g[GROUP_NAME_AT] != 0;
    entry.values = {number(d.out->channel_word), number(index), field_text(g + GROUP_NAME_AT, GROUP_NAME_SIZE)};
    if (entry.used) {
        if (g[GROUP_ENTRY_MARKER_AT] != ENTRY_MARKER_SET) {
            d.note(entry, "entry_marker", number(g[GROUP_ENTRY_MARKER_AT]) + "; the import writes 255");
        }
        if (const char* why = text_problem(g + GROUP_NAME_AT, GROUP_NAME_SIZE)) d.note(entry, "name", why);
    }
    d.out->entries.push_back(std::move(entry));
}

// ---- channel inputs file ----------------------------------------------------------

// Entry bytes that no inputs row writes.
// clang-format off
constexpr std::pair<std::uint32_t, std::uint32_t> INPUT_UNWRITTEN[] = {
    {4, 4}, {9, 1}, {11, 2}, {14, 2}, {INPUT_NAME_AT + INPUT_NAME_SIZE, INPUTS_ENTRY_SIZE - INPUT_NAME_AT - INPUT_NAME_SIZE},
};
// clang-format on

// "3", "3-31", "1, 4-6": indexes as ranges.
std::string index_ranges(const std::vector<std::uint32_t>& indexes) {
    std::string text;
    for (std::size_t i = 0; i < indexes.size();) {
        std::size_t j = i;
        while (j + 1 < indexes.size() && indexes[j + 1] == indexes[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += number(indexes[i]);
        if (j > i) text += "-" + number(indexes[j]);
        i = j + 1;
    }
    return text;
}

// Decodes input entry j; returns whether it or its block holds any byte
// other than 0.
bool decode_input(const decoder& d, const inputs_layout& layout, std::uint32_t index, bool notes) {
    const unsigned char* e = d.file + inputs_entry_at(index);
    const unsigned char* block = d.file + inputs_block_at(layout, index);
    const std::uint32_t flags = le_get_u32(e + INPUT_FLAGS_AT);
    const std::uint8_t address_byte = e[INPUT_ADDRESS_BYTE_AT];
    const bool has_address = (flags & DEVICE_FLAG_ADDRESS) != 0;
    const bool valid_address = (address_byte & 1) != 0 && address_byte < 2 * SHORT_ADDRESS_COUNT;

    channel_entry entry;
    entry.kind = entry_kind::input;
    entry.index = index;
    entry.used = e[INPUT_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || (flags & DEVICE_FLAG_CSV) != 0;

    std::array<std::uint32_t, INPUTS_INSTANCE_COUNT> types{}, seconds{};
    for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
        types[k] = e[INPUT_INSTANCES_AT + 2 * k];
        seconds[k] = e[INPUT_INSTANCES_AT + 2 * k + 1];
    }
    const std::array<std::uint32_t, 1> block_param = {block[layout.block_param_at]};
    entry.values = {
        number(d.out->channel_word),
        number(index),
        has_address && valid_address ? number((address_byte - 1u) / 2) : "null",
        field_text(e + INPUT_NAME_AT, INPUT_NAME_SIZE),
        number(flags),
        number(e[INPUT_PARAM_AT]),
        list(types, types.size(), 0),
        list(seconds, seconds.size(), 0),
        list(block_param, 1, 0),
    };
    // The record columns: value k of column (t, c) is byte csv_first_byte + c
    // of instance k's record when instance k has type t, else 0.
    for (std::size_t t = 0; t < INSTANCE_TYPES.size(); ++t) {
        const instance_type_data& type = INSTANCE_TYPES[t];
        for (std::uint32_t c = 0; c < type.csv_columns; ++c) {
            std::array<std::uint32_t, INPUTS_INSTANCE_COUNT> values{};
            for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
                if (types[k] != type.type) continue;
                values[k] = block[layout.records_at + k * layout.record_stride[t] + type.csv_first_byte + c];
            }
            entry.values.push_back(list(values, values.size(), 0));
        }
    }

    if (notes && entry.used) {
        if ((flags & DEVICE_FLAG_CSV) == 0) d.note(entry, "flags", "bit 1 clear; the import sets it");
        if (e[INPUT_ENTRY_MARKER_AT] != ENTRY_MARKER_SET) {
            d.note(entry, "entry_marker", number(e[INPUT_ENTRY_MARKER_AT]) + "; the import writes 255");
        }
        if (has_address != valid_address || (!has_address && address_byte != UNADDRESSED)) {
            d.note(entry, "address",
                   "address byte " + number(address_byte) +
                       (has_address ? " is no short address" : " without the address flag; the import writes 255"));
        }
        if (const char* why = text_problem(e + INPUT_NAME_AT, INPUT_NAME_SIZE)) d.note(entry, "name", why);
        if (e[INPUT_PARAM_AT] > INPUT_PARAM_MAX) {
            d.note(entry, "input_param", number(e[INPUT_PARAM_AT]) + "; the import stores at most 32");
        }
        const char* const from_zeros =
            "bytes that no CSV column carries; setup_channel builds the inputs file from zeros";
        bool kept_zero = true;
        for (const auto& [at, n] : INPUT_UNWRITTEN) kept_zero = kept_zero && all_zero(e + at, n);
        if (!kept_zero) d.note(entry, "kept bytes", from_zeros);
        if (block[0] != 0 || !all_zero(block + 2, layout.records_at - 2)) d.note(entry, "block bytes", from_zeros);
        for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
            const unsigned char* record = block + layout.records_at + k * INSTANCE_RECORD_SIZE;
            const int t = instance_type_index(static_cast<std::uint8_t>(types[k]));
            for (std::uint32_t b = 0; b < INSTANCE_RECORD_SIZE; ++b) {
                const bool written = t >= 0 && b >= INSTANCE_TYPES[static_cast<std::size_t>(t)].csv_first_byte &&
                                     b < INSTANCE_TYPES[static_cast<std::size_t>(t)].csv_first_byte +
                                             INSTANCE_TYPES[static_cast<std::size_t>(t)].csv_columns;
                if (!written && record[b] != 0) {
                    d.note(entry, "instance " + number(k),
                           "record bytes that no column of instance type " + number(types[k]) +
                               " carries; setup_channel builds the inputs file from zeros");
                    break;
                }
            }
        }
    }
    const bool blank = all_zero(e, INPUTS_ENTRY_SIZE) && all_zero(block, layout.block_size);
    d.out->entries.push_back(std::move(entry));
    return !blank;
}

}  // namespace

std::span<const csv_column> csv_columns(entry_kind kind) {
    switch (kind) {
        case entry_kind::device: return DEVICE_COLUMNS;
        case entry_kind::group: return GROUP_COLUMNS;
        case entry_kind::input: return INPUT_COLUMNS;
    }
    return {};
}

int channel_fields_decode(channel_file_kind kind, const unsigned char* data, std::size_t size, channel_fields* out) {
    *out = channel_fields{};
    out->kind = kind;
    if (data == nullptr || size < CONFIG_HEADER_SIZE + 4) return CHANNEL_FIELDS_SHORT;
    const std::uint32_t version = le_get_u32(data + CONFIG_VERSION_AT);
    out->channel_word = le_get_u32(data + CONFIG_CHANNEL_WORD_AT);
    decoder d{data, out};

    if (kind == channel_file_kind::channel) {
        const channel_layout* layout = channel_layout_from_version(version);
        if (layout == nullptr) return CHANNEL_FIELDS_UNKNOWN_LAYOUT;
        out->layout = layout->version;
        if (size != layout->size) return CHANNEL_FIELDS_WRONG_SIZE;
        out->entries_known = true;
        for (std::uint32_t i = 0; i < CHANNEL_DEVICE_COUNT; ++i) decode_device(d, *layout, i);
        for (std::uint32_t i = 0; i < CHANNEL_GROUP_COUNT; ++i) decode_group(d, *layout, i);
        return CHANNEL_FIELDS_OK;
    }

    if (version == 1) {  // passed through by the restore; nothing is known of its entries
        out->layout = 1;
        return CHANNEL_FIELDS_OK;
    }
    const inputs_layout* layout = inputs_layout_from_version(version);
    if (layout == nullptr) return CHANNEL_FIELDS_UNKNOWN_LAYOUT;
    out->layout = layout->version;
    if (size != layout->size) return CHANNEL_FIELDS_WRONG_SIZE;
    out->entries_known = true;
    // setup_channel builds inputs files in layout 3 only, from zeros.
    const bool notes = layout->version == INPUTS_LAYOUTS.back().version;
    std::vector<std::uint32_t> unused_not_blank;
    bool any_used = false;
    for (std::uint32_t j = 0; j < INPUTS_DEVICE_COUNT; ++j) {
        const bool not_blank = decode_input(d, *layout, j, notes);
        any_used = any_used || out->entries.back().used;
        if (not_blank && !out->entries.back().used) unused_not_blank.push_back(j);
    }
    if (notes) {
        const char* const from_zeros = "setup_channel builds the inputs file from zeros";
        if (!unused_not_blank.empty()) {
            out->notes.push_back(
                {(unused_not_blank.size() == 1 ? "input entry " : "input entries ") + index_ranges(unused_not_blank),
                 "bytes", std::string("not in use but not blank; ") + from_zeros});
        }
        if (!all_zero(data + INPUTS_HEADER_KEPT_AT, INPUTS_HEADER_END - INPUTS_HEADER_KEPT_AT)) {
            out->notes.push_back({"file header", "bytes 20 to 27", from_zeros});
        }
        if (!any_used && out->channel_word != 0) {
            out->notes.push_back({"file header", "channel", number(out->channel_word) + ", and no row carries it"});
        }
    }
    return CHANNEL_FIELDS_OK;
}

std::string channel_file_problem(channel_file_kind kind, const unsigned char* data, std::size_t size) {
    channel_fields fields;
    const int code = channel_fields_decode(kind, data, size, &fields);
    if (code == CHANNEL_FIELDS_SHORT)
        return number(static_cast<std::uint32_t>(size)) + " bytes, too short for a header";
    const std::uint32_t version = le_get_u32(data + CONFIG_VERSION_AT);
    if (code == CHANNEL_FIELDS_UNKNOWN_LAYOUT) return "unknown layout " + number(version);
    std::size_t crc_size = size;
    if (code == CHANNEL_FIELDS_WRONG_SIZE || fields.entries_known) {
        crc_size = kind == channel_file_kind::channel ? channel_layout_from_version(version)->size
                                                      : inputs_layout_from_version(version)->size;
    }
    if (code == CHANNEL_FIELDS_WRONG_SIZE) {
        return number(static_cast<std::uint32_t>(size)) + " bytes, layout " + number(fields.layout) + " has " +
               number(static_cast<std::uint32_t>(crc_size));
    }
    std::vector<unsigned char> copy(data, data + crc_size);
    le_put_u32(copy.data() + CONFIG_CRC_AT, 0);
    const std::uint32_t stored = le_get_u32(data + CONFIG_CRC_AT);
    const std::uint16_t computed = config_crc16(copy.data(), copy.size());
    if (stored != computed) {
        char text[64];
        std::snprintf(text, sizeof text, "CRC 0x%08X, computed 0x%04X", stored, computed);
        return text;
    }
    return {};
}

std::string channel_entry_label(const channel_entry& entry) {
    const char* kind = entry.kind == entry_kind::device  ? "device "
                       : entry.kind == entry_kind::group ? "group "
                                                         : "input ";
    std::string label = kind + number(entry.index);
    if (entry.kind != entry_kind::group && entry.values.size() > ADDRESS_COLUMN &&
        entry.values[ADDRESS_COLUMN] != "null") {
        label += " (address " + entry.values[ADDRESS_COLUMN] + ")";
    }
    return label;
}

std::string channel_field_display(field_form form, const std::string& value) {
    if (form != field_form::text) return value;
    std::string text = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

std::vector<std::string> channel_fields_compare(const channel_fields& old_file, const channel_fields& new_file) {
    std::vector<std::string> lines;
    if (old_file.layout != new_file.layout) {
        lines.push_back("    layout " + number(old_file.layout) + " -> " + number(new_file.layout));
    }
    if (old_file.channel_word != new_file.channel_word) {
        lines.push_back("    channel: " + number(old_file.channel_word) + " -> " + number(new_file.channel_word));
    }
    if (!old_file.entries_known || !new_file.entries_known || old_file.kind != new_file.kind ||
        old_file.entries.size() != new_file.entries.size()) {
        return lines;
    }
    for (std::size_t i = 0; i < new_file.entries.size(); ++i) {
        const channel_entry& o = old_file.entries[i];
        const channel_entry& n = new_file.entries[i];
        // Named by the new side's address, or the old one's when it lost it.
        const bool old_address = o.kind != entry_kind::group && o.values[ADDRESS_COLUMN] != "null";
        const bool new_address = n.kind != entry_kind::group && n.values[ADDRESS_COLUMN] != "null";
        const std::string label = channel_entry_label(!new_address && old_address ? o : n);
        if (o.used != n.used) lines.push_back("    " + label + (n.used ? " added" : " removed"));
        const std::span<const csv_column> columns = csv_columns(n.kind);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c == CSV_CHANNEL_COLUMN || c == CSV_INDEX_COLUMN || o.values[c] == n.values[c]) continue;
            lines.push_back("    " + label + " " + columns[c].name + ": " +
                            channel_field_display(columns[c].form, o.values[c]) + " -> " +
                            channel_field_display(columns[c].form, n.values[c]));
        }
    }
    return lines;
}
