// Channel files as named fields: the device, group and input device entries
// of a channel file or channel inputs file of any layout, each field written
// the way the channel CSV files write it. This is what diff_backup compares
// and what export_channel writes, so a field has one name and one text form
// everywhere: the column name of its CSV format.
//
// The three CSV formats (see import/importcsv*.h for what the imports do
// with each column):
//
//   channel CSV   channel, index, address, name, groups, power_on_level,
//                 system_failure_level, min_level, max_level, fade_rate,
//                 fade_time, scenes
//   groups CSV    channel, index, name
//   inputs CSV    channel, index, address, name, flags, input_param,
//                 instance_types, instance_values, block_param, button_1..6,
//                 occupancy_1..3, light_1..2
//
// Text forms: numbers in decimal; "null" for no short address and for the
// levels 255; "false" for a power-on level of 100 that a "false" row set
// (flags bit 3); JSON arrays for lists ("[0,2]"), without the trailing values
// an import fills in by itself (255 for scenes, 0 for the inputs lists);
// names as their bytes up to the first NUL.
//
// An entry is in use when a CSV row wrote it (entry marker 255, or flags
// bit 1 or 3; a group also when it has a name). Every entry is decoded, in
// use or not, so that a diff sees changes to either.
//
// The round trip: setup_channel with the CSV rows of the entries in use
// writes back the same bytes, unless the file holds something the CSV form
// cannot carry. Each such thing is listed as a carry_note (entry, field,
// why). Channel files are built on the controller's file, so only the
// fields a row writes matter there; channel inputs files are built from
// zeros, so there every byte that no row writes must be 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class channel_file_kind { channel, inputs };
enum class entry_kind { device, group, input };
enum class field_form { number, text, list };

struct csv_column {
    const char* name;
    field_form form;
};

// The columns of the channel, groups and inputs CSV formats, in order.
std::span<const csv_column> csv_columns(entry_kind kind);
// The columns every row of a format starts with.
constexpr std::size_t CSV_CHANNEL_COLUMN = 0;
constexpr std::size_t CSV_INDEX_COLUMN = 1;

struct channel_entry {
    entry_kind kind = entry_kind::device;
    std::uint32_t index = 0;
    bool used = false;
    std::vector<std::string> values;  // one per column of csv_columns(kind)
};

// Something the CSV form cannot carry: which entry, which field, and why.
struct carry_note {
    std::string entry;  // an entry label, or a summary such as "input entries 3-31"
    std::string field;
    std::string reason;
};

struct channel_fields {
    channel_file_kind kind = channel_file_kind::channel;
    std::uint32_t layout = 0;    // 1..3
    bool entries_known = false;  // false: a layout only passed through (inputs layout 1)
    std::uint32_t channel_word = 0;
    // Channel file: devices 0..63 then groups 0..15; inputs file: inputs 0..31.
    std::vector<channel_entry> entries;
    // Filled only for the layouts setup_channel builds (every channel file
    // layout, inputs layout 3).
    std::vector<carry_note> notes;
};

enum : int {
    CHANNEL_FIELDS_OK = 0,
    CHANNEL_FIELDS_SHORT = 1,  // shorter than the 16-byte header
    CHANNEL_FIELDS_UNKNOWN_LAYOUT = 2,
    CHANNEL_FIELDS_WRONG_SIZE = 3,  // not the size of its layout
};

int channel_fields_decode(channel_file_kind kind, const unsigned char* data, std::size_t size, channel_fields* out);

// What is wrong with a channel file or channel inputs file as a whole: too
// short, an unknown layout, a length other than its layout's size, or a CRC
// (over the layout's size) other than the one stored; empty when nothing is.
// Inputs layout 1 has no size known here; its CRC is taken over the whole file.
std::string channel_file_problem(channel_file_kind kind, const unsigned char* data, std::size_t size);

// "device 5 (address 5)", "group 3", "input 2": the address from the
// values, when the entry has one.
std::string channel_entry_label(const channel_entry& entry);
// A value as the diff shows it: names in double quotes with C escapes,
// everything else as it is.
std::string channel_field_display(field_form form, const std::string& value);

// The differences between two decoded files, one line each, indented by four
// blanks: a line of its own for a layout change and for the channel word,
// then per entry "added" or "removed" when it came into or went out of use,
// and one line per changed field: "    device 5 (address 5) name: \"Hall\" ->
// \"Hall East\"". Files of different layouts are compared on the fields
// both have: every field of a channel file, none of an inputs file whose
// entries are not known. Both must be of the same kind.
std::vector<std::string> channel_fields_compare(const channel_fields& old_file, const channel_fields& new_file);
