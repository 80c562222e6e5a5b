// Channel files as named fields: decoding every layout into the values of
// the CSV columns, the notes on what the CSV form cannot carry, and the
// field-by-field comparison of two files.
#include "channel/channel_fields.h"

#include <algorithm>
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

// N bytes `step` apart, as the values of a list.
template <std::size_t N>
std::array<std::uint32_t, N> byte_values(const unsigned char* p, std::size_t step = 1) {
    std::array<std::uint32_t, N> values{};
    for (std::size_t i = 0; i < N; ++i) values[i] = p[i * step];
    return values;
}

std::string level_text(std::uint8_t level) { return level == LEVEL_NULL ? "null" : number(level); }

struct decoder {
    const unsigned char* file;
    channel_fields* out;

    void note(const channel_entry& entry, const std::string& field, const std::string& reason) const {
        out->notes.push_back({channel_entry_label(entry), field, reason});
    }
};

// ---- what every kind of entry checks -------------------------------------------------

const char* const BIT_1_CLEAR = "bit 1 clear; the import sets it";
const char* const FROM_ZEROS = "setup_channel builds the inputs file from zeros";

// An address byte with the flag that says it holds a short address.
struct address_bytes {
    std::uint8_t byte;
    bool flagged;  // flags bit 0
    bool valid;    // 2*a+1 for a short address a
    bool usable() const { return flagged && valid; }
};

address_bytes read_address(std::uint32_t flags, std::uint8_t byte) {
    return {byte, (flags & DEVICE_FLAG_ADDRESS) != 0, (byte & 1) != 0 && byte < 2 * SHORT_ADDRESS_COUNT};
}

std::string address_text(const address_bytes& a) { return a.usable() ? number((a.byte - 1u) / 2) : "null"; }

// A byte that comes back from the import only within low..high; the note
// gives the value and then `import_does`.
struct byte_check {
    std::uint32_t at;  // entry offset
    const char* field;
    std::uint8_t low;
    std::uint8_t high;
    const char* import_does;
};

constexpr byte_check marker_check(std::uint32_t at) {
    return {at, "entry_marker", ENTRY_MARKER_SET, ENTRY_MARKER_SET, "; the import writes 255"};
}

void check_byte(const decoder& d, const channel_entry& entry, const unsigned char* e, const byte_check& c) {
    if (e[c.at] < c.low || e[c.at] > c.high) d.note(entry, c.field, number(e[c.at]) + c.import_does);
}

void check_name(const decoder& d, const channel_entry& entry, const unsigned char* field, std::size_t size) {
    if (const char* why = text_problem(field, size)) d.note(entry, "name", why);
}

// A flagged address byte must hold a short address; without the flag the
// import writes `stored` (none: -1).
void check_address(const decoder& d, const channel_entry& entry, const address_bytes& a, int stored) {
    if (a.flagged && !a.valid) d.note(entry, "address", "address byte " + number(a.byte) + " is no short address");
    if (!a.flagged && stored >= 0 && a.byte != stored) {
        d.note(entry, "address",
               "address byte " + number(a.byte) + " without the address flag; the import writes " +
                   number(static_cast<std::uint32_t>(stored)));
    }
}

// ---- channel file --------------------------------------------------------------

// The address byte the channel CSV import writes for a row without short
// address, by channel_layout::unaddressed (none: layout 1 clears the
// device's extra-area record instead).
constexpr int UNADDRESSED_STORED[] = {-1, 0, UNADDRESSED};
static_assert(UNADDRESSED_STORED[UNADDRESSED_STORE_0] == 0 && UNADDRESSED_STORED[UNADDRESSED_STORE_255] == 255);

constexpr byte_check FADE_CHECKS[] = {
    {DEVICE_FADE_RATE_AT, "fade_rate", 1, FADE_MAX, "; the import keeps it within 1..15"},
    {DEVICE_FADE_TIME_AT, "fade_time", 0, FADE_MAX, "; the import keeps it within 0..15"},
};

// One device entry of a channel file.
struct device_bytes {
    const channel_layout& layout;
    const unsigned char* e;
    const unsigned char* extra;  // its extra-area record, when the layout has one
    std::uint32_t flags;
    address_bytes address;
    bool power_on_false;  // level 100 from a "false" row (flags bit 3)
};

device_bytes read_device(const unsigned char* file, const channel_layout& layout, std::uint32_t index) {
    const unsigned char* e = file + channel_device_at(layout, index);
    const std::uint32_t flags = le_get_u32(e + DEVICE_FLAGS_AT);
    const unsigned char* extra = file + layout.extra_area_at + index * layout.extra_record_size;
    const bool power_on_false =
        (flags & DEVICE_FLAG_CSV_OFF) != 0 && e[DEVICE_POWER_ON_LEVEL_AT] == POWER_ON_FALSE_LEVEL;
    return {layout, e, extra, flags, read_address(flags, e[DEVICE_ADDRESS_BYTE_AT]), power_on_false};
}

std::string groups_text(std::uint16_t mask) {
    std::array<std::uint32_t, CHANNEL_GROUP_COUNT> groups{};
    std::size_t count = 0;
    for (std::uint32_t g = 0; g < CHANNEL_GROUP_COUNT; ++g) {
        if ((mask >> g) & 1) groups[count++] = g;
    }
    return list(groups, count, 0xFFFFFFFF);
}

// The values of the channel CSV columns, in their order.
std::vector<std::string> device_values(const device_bytes& dev, std::uint32_t channel_word, std::uint32_t index) {
    const unsigned char* e = dev.e;
    return {
        number(channel_word),
        number(index),
        address_text(dev.address),
        field_text(e + dev.layout.name_at, DEVICE_NAME_SIZE),
        groups_text(le_get_u16(e + DEVICE_GROUPS_AT)),
        dev.power_on_false ? "false" : level_text(e[DEVICE_POWER_ON_LEVEL_AT]),
        level_text(e[DEVICE_SYSTEM_FAILURE_LEVEL_AT]),
        number(e[DEVICE_MIN_LEVEL_AT]),
        number(e[DEVICE_MAX_LEVEL_AT]),
        number(e[DEVICE_FADE_RATE_AT]),
        number(e[DEVICE_FADE_TIME_AT]),
        list(byte_values<DEVICE_SCENE_COUNT>(e + DEVICE_SCENES_AT), DEVICE_SCENE_COUNT, SCENE_UNSET, true, SCENE_UNSET),
    };
}

// A row sets flags bit 1, or bit 3 instead when its power-on level reads
// "false" (level 100).
void check_device_flags(const decoder& d, const channel_entry& entry, const device_bytes& dev) {
    if ((dev.flags & DEVICE_FLAG_CSV) != 0 || dev.power_on_false) return;
    if ((dev.flags & DEVICE_FLAG_CSV_OFF) == 0) {
        d.note(entry, "flags", BIT_1_CLEAR);
    } else {
        d.note(
            entry, "power_on_level",
            number(dev.e[DEVICE_POWER_ON_LEVEL_AT]) + " with flags bit 3, which only a \"false\" row (level 100) sets");
    }
}

void check_device_address(const decoder& d, const channel_entry& entry, const device_bytes& dev) {
    check_address(d, entry, dev.address, UNADDRESSED_STORED[dev.layout.unaddressed]);
    if (dev.layout.unaddressed == UNADDRESSED_CLEAR_EXTRA && !dev.address.usable() &&
        !all_zero(dev.extra, dev.layout.extra_record_size)) {
        d.note(entry, "address", "no short address, and a row without one clears the device's extra-area record");
    }
}

// The device types that a layout's import clears (0: the layout has no such field).
void check_device_types(const decoder& d, const channel_entry& entry, const device_bytes& dev) {
    if (!dev.layout.import_clears_device_type) return;
    const byte_check checks[] = {{dev.layout.device_type_at, "device_type", 0, 0, "; the import writes 0"},
                                 {dev.layout.device_type_2_at, "device_type_2", 0, 0, "; the import writes 0"}};
    for (const byte_check& c : checks) {
        if (c.at != 0) check_byte(d, entry, dev.e, c);
    }
}

// What the channel CSV import writes for the entry's row, against what is there.
void check_device(const decoder& d, const channel_entry& entry, const device_bytes& dev) {
    check_device_flags(d, entry, dev);
    check_byte(d, entry, dev.e, marker_check(DEVICE_ENTRY_MARKER_AT));
    check_device_address(d, entry, dev);
    check_name(d, entry, dev.e + dev.layout.name_at, DEVICE_NAME_SIZE);
    for (const byte_check& c : FADE_CHECKS) check_byte(d, entry, dev.e, c);
    check_device_types(d, entry, dev);
}

void decode_device(const decoder& d, const channel_layout& layout, std::uint32_t index) {
    const device_bytes dev = read_device(d.file, layout, index);
    const bool used =
        dev.e[DEVICE_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || (dev.flags & (DEVICE_FLAG_CSV | DEVICE_FLAG_CSV_OFF)) != 0;
    channel_entry entry{entry_kind::device, index, used, device_values(dev, d.out->channel_word, index)};
    if (entry.used) check_device(d, entry, dev);
    d.out->entries.push_back(std::move(entry));
}

void decode_group(const decoder& d, const channel_layout& layout, std::uint32_t index) {
    const unsigned char* g = d.file + channel_group_at(layout, index);
    const bool used = g[GROUP_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || g[GROUP_NAME_AT] != 0;
    std::vector<std::string> values = {number(d.out->channel_word), number(index),
                                       field_text(g + GROUP_NAME_AT, GROUP_NAME_SIZE)};
    channel_entry entry{entry_kind::group, index, used, std::move(values)};
    if (entry.used) {
        check_byte(d, entry, g, marker_check(GROUP_ENTRY_MARKER_AT));
        check_name(d, entry, g + GROUP_NAME_AT, GROUP_NAME_SIZE);
    }
    d.out->entries.push_back(std::move(entry));
}

int decode_channel_file(const decoder& d, std::uint32_t version, std::size_t size) {
    const channel_layout* layout = channel_layout_from_version(version);
    if (layout == nullptr) return CHANNEL_FIELDS_UNKNOWN_LAYOUT;
    d.out->layout = layout->version;
    if (size != layout->size) return CHANNEL_FIELDS_WRONG_SIZE;
    d.out->entries_known = true;
    for (std::uint32_t i = 0; i < CHANNEL_DEVICE_COUNT; ++i) decode_device(d, *layout, i);
    for (std::uint32_t i = 0; i < CHANNEL_GROUP_COUNT; ++i) decode_group(d, *layout, i);
    return CHANNEL_FIELDS_OK;
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

// One input device entry of a channel inputs file, with its instance block.
struct input_bytes {
    const inputs_layout& layout;
    const unsigned char* e;
    const unsigned char* block;
    std::uint32_t flags;
    address_bytes address;

    std::uint8_t instance_type(std::uint32_t k) const { return e[INPUT_INSTANCES_AT + 2 * k]; }
    // Instance k's record as one of type INSTANCE_TYPES[t]: records lie the
    // layout's stride for the type apart, and are that long.
    const unsigned char* record(std::uint32_t k, std::size_t t) const {
        return block + layout.records_at + k * layout.record_stride[t];
    }
};

input_bytes read_input(const unsigned char* file, const inputs_layout& layout, std::uint32_t index) {
    const unsigned char* e = file + inputs_entry_at(index);
    const std::uint32_t flags = le_get_u32(e + INPUT_FLAGS_AT);
    return {layout, e, file + inputs_block_at(layout, index), flags, read_address(flags, e[INPUT_ADDRESS_BYTE_AT])};
}

// Record column c of instance type t: value k is byte csv_first_byte + c of
// instance k's record when instance k has type t, else 0.
std::string record_column(const input_bytes& in, std::size_t t, std::uint32_t c) {
    const instance_type_data& type = INSTANCE_TYPES[t];
    std::array<std::uint32_t, INPUTS_INSTANCE_COUNT> values{};
    for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
        if (in.instance_type(k) == type.type) values[k] = in.record(k, t)[type.csv_first_byte + c];
    }
    return list(values, values.size(), 0);
}

// The values of the inputs CSV columns, in their order.
std::vector<std::string> input_values(const input_bytes& in, std::uint32_t channel_word, std::uint32_t index) {
    const unsigned char* e = in.e;
    std::vector<std::string> values = {
        number(channel_word),
        number(index),
        address_text(in.address),
        field_text(e + INPUT_NAME_AT, INPUT_NAME_SIZE),
        number(in.flags),
        number(e[INPUT_PARAM_AT]),
        list(byte_values<INPUTS_INSTANCE_COUNT>(e + INPUT_INSTANCES_AT, 2), INPUTS_INSTANCE_COUNT, 0),
        list(byte_values<INPUTS_INSTANCE_COUNT>(e + INPUT_INSTANCES_AT + 1, 2), INPUTS_INSTANCE_COUNT, 0),
        list(byte_values<1>(in.block + in.layout.block_param_at), 1, 0),
    };
    for (std::size_t t = 0; t < INSTANCE_TYPES.size(); ++t) {
        for (std::uint32_t c = 0; c < INSTANCE_TYPES[t].csv_columns; ++c) values.push_back(record_column(in, t, c));
    }
    return values;
}

// Whether the block bytes before the instance records are 0, block_param aside.
bool block_head_clear(const input_bytes& in) {
    for (std::uint32_t b = 0; b < in.layout.records_at; ++b) {
        if (b != in.layout.block_param_at && in.block[b] != 0) return false;
    }
    return true;
}

// Whether instance k's record holds 0 in every byte that no column of its
// type carries. A type without settings carries none: the record it would
// have as any type with settings must be 0.
bool record_clear(const input_bytes& in, std::uint32_t k) {
    const int t = instance_type_index(in.instance_type(k));
    if (t < 0) {
        for (std::size_t u = 0; u < INSTANCE_TYPES.size(); ++u) {
            if (!all_zero(in.record(k, u), in.layout.record_stride[u])) return false;
        }
        return true;
    }
    const std::size_t u = static_cast<std::size_t>(t);
    const unsigned char* record = in.record(k, u);
    const std::uint32_t size = in.layout.record_stride[u];
    const std::uint32_t first = std::min(INSTANCE_TYPES[u].csv_first_byte, size);
    const std::uint32_t end = std::min(first + INSTANCE_TYPES[u].csv_columns, size);
    return all_zero(record, first) && all_zero(record + end, size - end);
}

// The bytes that no CSV column carries must be 0.
void check_unwritten(const decoder& d, const channel_entry& entry, const input_bytes& in) {
    const std::string no_column = std::string("bytes that no CSV column carries; ") + FROM_ZEROS;
    bool kept_zero = true;
    for (const auto& [at, n] : INPUT_UNWRITTEN) kept_zero = kept_zero && all_zero(in.e + at, n);
    if (!kept_zero) d.note(entry, "kept bytes", no_column);
    if (!block_head_clear(in)) d.note(entry, "block bytes", no_column);
    for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
        if (record_clear(in, k)) continue;
        d.note(
            entry, "instance " + number(k),
            "record bytes that no column of instance type " + number(in.instance_type(k)) + " carries; " + FROM_ZEROS);
    }
}

// What the inputs CSV import writes for the entry's row, against what is there.
void check_input(const decoder& d, const channel_entry& entry, const input_bytes& in) {
    if ((in.flags & DEVICE_FLAG_CSV) == 0) d.note(entry, "flags", BIT_1_CLEAR);
    check_byte(d, entry, in.e, marker_check(INPUT_ENTRY_MARKER_AT));
    check_address(d, entry, in.address, UNADDRESSED);
    check_name(d, entry, in.e + INPUT_NAME_AT, INPUT_NAME_SIZE);
    check_byte(d, entry, in.e, {INPUT_PARAM_AT, "input_param", 0, INPUT_PARAM_MAX, "; the import stores at most 32"});
    check_unwritten(d, entry, in);
}

// Decodes input entry `index`; returns whether it or its block holds any
// byte other than 0.
bool decode_input(const decoder& d, const inputs_layout& layout, std::uint32_t index, bool notes) {
    const input_bytes in = read_input(d.file, layout, index);
    const bool used = in.e[INPUT_ENTRY_MARKER_AT] == ENTRY_MARKER_SET || (in.flags & DEVICE_FLAG_CSV) != 0;
    channel_entry entry{entry_kind::input, index, used, input_values(in, d.out->channel_word, index)};
    if (notes && entry.used) check_input(d, entry, in);
    d.out->entries.push_back(std::move(entry));
    return !all_zero(in.e, INPUTS_ENTRY_SIZE) || !all_zero(in.block, layout.block_size);
}

// The notes on the file as a whole: entries not in use that are not blank,
// kept header bytes, and a channel word that no row carries.
void check_inputs_file(const decoder& d, const std::vector<std::uint32_t>& unused_not_blank) {
    channel_fields& out = *d.out;
    if (!unused_not_blank.empty()) {
        out.notes.push_back(
            {(unused_not_blank.size() == 1 ? "input entry " : "input entries ") + index_ranges(unused_not_blank),
             "bytes", std::string("not in use but not blank; ") + FROM_ZEROS});
    }
    if (!all_zero(d.file + INPUTS_HEADER_KEPT_AT, INPUTS_HEADER_END - INPUTS_HEADER_KEPT_AT)) {
        out.notes.push_back({"file header", "bytes 20 to 27", FROM_ZEROS});
    }
    const bool any_used =
        std::any_of(out.entries.begin(), out.entries.end(), [](const channel_entry& e) { return e.used; });
    if (!any_used && out.channel_word != 0) {
        out.notes.push_back({"file header", "channel", number(out.channel_word) + ", and no row carries it"});
    }
}

int decode_inputs_file(const decoder& d, std::uint32_t version, std::size_t size) {
    if (version == 1) {  // passed through by the restore; nothing is known of its entries
        d.out->layout = 1;
        return CHANNEL_FIELDS_OK;
    }
    const inputs_layout* layout = inputs_layout_from_version(version);
    if (layout == nullptr) return CHANNEL_FIELDS_UNKNOWN_LAYOUT;
    d.out->layout = layout->version;
    if (size != layout->size) return CHANNEL_FIELDS_WRONG_SIZE;
    d.out->entries_known = true;
    // setup_channel builds inputs files in layout 3 only, from zeros.
    const bool notes = layout->version == INPUTS_LAYOUTS.back().version;
    std::vector<std::uint32_t> unused_not_blank;
    for (std::uint32_t j = 0; j < INPUTS_DEVICE_COUNT; ++j) {
        if (decode_input(d, *layout, j, notes) && !d.out->entries.back().used) unused_not_blank.push_back(j);
    }
    if (notes) check_inputs_file(d, unused_not_blank);
    return CHANNEL_FIELDS_OK;
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
    const decoder d{data, out};
    return kind == channel_file_kind::channel ? decode_channel_file(d, version, size)
                                              : decode_inputs_file(d, version, size);
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
