// Channel configuration files of a DALI channel.
//
// The controller keeps each DALI channel n (1..4) in two binary files:
//
//   channel file         "/etc/config/dali/dali<n>.bin"  64 device entries, 16 group entries
//   channel inputs file  "/etc/config/dali/cd<n>.bin"    32 input device entries, 32 instance blocks
//
// Both exist in numbered layouts. Every layout is described once, as data,
// by a channel_layout or inputs_layout below; readers, writers, the CSV
// imports and the layout conversion take every offset from there. All
// multi-byte numbers are little-endian; the le_* helpers read and write them
// byte by byte, so they are right on any host. Offsets are from the start
// of the file unless said otherwise. A field marked "kept" is never written
// by the tool: it keeps what the controller delivered and carries it across
// layouts.
//
// Common header (both files, every layout):
//
//      0  u32   size       length of the whole image; the writers leave it as it stands
//      4  u32   crc        config_crc16 over `size` bytes computed while this field is 0;
//                          low 16 bits the CRC, high 16 bits 0
//      8  u32   version    layout number 1, 2 or 3 (a channel file with 0 is layout 1)
//     12  u32   revision   counter, raised by each layout conversion
//     16  u32   channel word  (written by the imports, see below)
//     20  4     kept       moves with the channel word as one 8-byte block
//
// CRC: CRC-16/MCRF4XX (polynomial 0x1021 bit-reflected as 0x8408, initial
// value 0xFFFF, no final XOR); the check value over "123456789" is 0x6F91.
//
// Channel file header beyond the common part:
//
//     24  32    kept
//     56  u8    kept
//     57  2     kept
//     59  u8    reserved (0)
//     60        device entries (64, index 0..63), then group entries (16, index =
//               DALI group), then in layout 1 the extra area; a kept u32 trailer
//               ends the file
//
//   layout  version  size   device entry  devices at  groups at  extra area           trailer at
//   1       1 (0)    11168  152           60          9788       64 x 12 at 10396     11164
//   2       2        10912  160           60          10300      none                 10908
//   3       3        7072   100           60          6460       none                 7068
//
// Device entry, bytes 0..42, the same in every layout (copied whole by the
// conversion):
//
//      0  u32   flags       bit 0: has a short address; bit 1: set from a CSV row;
//                           bit 3: set instead of bit 1 when the row's power-on
//                           level read "false"; other bits kept
//      4  u8    kept
//      5  u8    power_on_level
//      6  u8    system_failure_level
//      7  u8    min_level
//      8  u8    max_level
//      9  u8    fade_rate
//     10  u8    fade_time
//     11  u8    address_byte   2*a+1 for short address a (0..63)
//     12  6     kept
//     18  u16   groups         bit g: member of group g
//     20  16    scenes         levels of scenes 0..15, 255 = not set
//     36  u8    entry_marker   255 once a CSV row was imported
//     37  6     kept           (bytes 36..42 move across layouts as one block)
//
// Rest of a device entry, per layout (entry offsets):
//
//   field                          layout 1        layout 2        layout 3
//   device_type (5, 6, 8; 255 none) 42             44              43
//   device_type_2                  -               45              44
//   type 5 data (u16 + u8)         44..46          46..48          -
//   type 6 data (7 bytes)          44..50          49..55          -
//   type 8 data (48 bytes + u16)   44..93          56..105         -
//   name (32 characters + NUL)     94..126         106..138        45..77
//   kept u8 after the name         127             139             78
//   kept u32                       128..131        140..143        80..83
//   kept 16 bytes                  136..151        144..159        84..99
//   reserved, not carried          43, 132..135    43              79
//
// Layout 1 keeps the three kinds of type data in one overlapping area
// starting at 44, selected by device_type at 42; in layouts 2 and 3 byte 42
// is a kept copy of it.
//
// Group entry (38 bytes, every layout):
//
//      0  33    name           up to 32 characters and NUL
//     33  3     kept
//     36  u8    entry_marker   255 once a CSV row was imported
//     37  u8    kept
//
// Layout 1 extra area: one 12-byte record per device entry index; the channel
// CSV import clears a device's record when its row has no short address.
//
// Channel inputs file (layouts 2 and 3; a layout-1 file is only passed
// through by the restore):
//
//     24  u32   kept
//     28        input device entries (32 x 100 bytes, the same in both layouts)
//   3228        instance blocks (32, block j belongs to input device j)
//
//   layout  version  size  instance block  blocks at
//   2       2        9436  194             3228
//   3       3        9564  198             3228
//
// Input device entry (100 bytes):
//
//      0  u32   flags          bit 0: has a short address; CSV rows set bit 1
//      4  u32   kept
//      8  u8    address_byte   2*a+1 for short address a (0..63), 255 none
//      9  u8    kept
//     10  u8    input_param    at most 32
//     11  2     kept
//     13  u8    entry_marker   255 once a CSV row was imported
//     14  u16   kept
//     16  32x2  instances      instance k: byte 16+2k its type, 17+2k a second value
//     80  17    name           up to 16 characters and NUL
//     97  3     reserved       (bytes 0..96 are carried by the conversion)
//
// Instance block, layout 3 (198 bytes):
//
//      0  u8    0 after a conversion
//      1  u8    block_param
//      2  4     reserved (0)
//      6  32x6  instance record k at 6 + 6k
//
// Instance block, layout 2 (194 bytes): the instance data at 0..191,
// addressed by instance type (type 1: 6 bytes at 6k; type 3: u32 at 4k;
// type 4: u16 + u8 at 3k); block_param at 192; 193 reserved.
//
// Instance types that carry settings (the type byte of `instances`):
//
//   type  CSV import writes record bytes  from CSV columns  conversion 2->3 carries
//   1     0..5                            9..14             6 bytes from 6k
//   3     1..3                            15..17            4 bytes from 4k
//   4     1..2                            18..19            3 bytes from 3k
//
// Layout lookup: the firmware version text selects a layout code through a
// table of (version text, code) entries; the code is that of the last entry
// whose text is not greater than the firmware text by a byte-wise strcmp
// (so "1.10.0" sorts below "1.3.0"), 0 when none is.
//
//   channel_layout_for: "1.0.0" 0, "1.3.0" 1, "1.3.1" 2, "1.5.0" 3
//                       (codes 0 and 1 both mean layout 1)
//   inputs_layout_for:  "1.0.0" 0, "1.3.1" 2, "2.2.4" 3
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "backup/backup_check.h"
#include "tar/tar.h"

// ---- little-endian field access ------------------------------------------

inline std::uint16_t le_get_u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t le_get_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void le_put_u16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}
inline void le_put_u32(unsigned char* p, std::uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// ---- common header ---------------------------------------------------------

constexpr std::uint32_t CONFIG_SIZE_AT = 0;
constexpr std::uint32_t CONFIG_CRC_AT = 4;
constexpr std::uint32_t CONFIG_VERSION_AT = 8;
constexpr std::uint32_t CONFIG_REVISION_AT = 12;
constexpr std::uint32_t CONFIG_HEADER_SIZE = 16;  // size, crc, version, revision
constexpr std::uint32_t CONFIG_CHANNEL_WORD_AT = 16;
constexpr std::uint32_t CONFIG_CHANNEL_BLOCK_SIZE = 8;  // channel word + 4 kept bytes

// ---- channel file ------------------------------------------------------------

constexpr std::uint32_t CHANNEL_IMAGE_SIZE = 11168;  // the largest layout
constexpr std::uint32_t CHANNEL_KEPT_AT = 24;        // 32 kept bytes
constexpr std::uint32_t CHANNEL_KEPT_SIZE = 32;
constexpr std::uint32_t CHANNEL_KEPT_BYTE_AT = 56;  // 1 kept byte
constexpr std::uint32_t CHANNEL_KEPT_PAIR_AT = 57;  // 2 kept bytes
constexpr std::uint32_t CHANNEL_DEVICE_COUNT = 64;
constexpr std::uint32_t CHANNEL_GROUP_COUNT = 16;
constexpr std::uint32_t CHANNEL_GROUP_ENTRY_SIZE = 38;
constexpr std::uint32_t CHANNEL_TRAILER_SIZE = 4;

// Device entry fields common to every layout (entry offsets).
constexpr std::uint32_t DEVICE_FLAGS_AT = 0;
constexpr std::uint32_t DEVICE_POWER_ON_LEVEL_AT = 5;
constexpr std::uint32_t DEVICE_SYSTEM_FAILURE_LEVEL_AT = 6;
constexpr std::uint32_t DEVICE_MIN_LEVEL_AT = 7;
constexpr std::uint32_t DEVICE_MAX_LEVEL_AT = 8;
constexpr std::uint32_t DEVICE_FADE_RATE_AT = 9;
constexpr std::uint32_t DEVICE_FADE_TIME_AT = 10;
constexpr std::uint32_t DEVICE_ADDRESS_BYTE_AT = 11;
constexpr std::uint32_t DEVICE_GROUPS_AT = 18;
constexpr std::uint32_t DEVICE_SCENES_AT = 20;
constexpr std::uint32_t DEVICE_SCENE_COUNT = 16;
constexpr std::uint32_t DEVICE_ENTRY_MARKER_AT = 36;
constexpr std::uint32_t DEVICE_COMMON_SIZE = 43;  // bytes 0..42, copied by every conversion
constexpr std::uint32_t DEVICE_NAME_SIZE = 33;    // 32 characters and NUL

constexpr std::uint32_t DEVICE_FLAG_ADDRESS = 1;  // bit 0
constexpr std::uint32_t DEVICE_FLAG_CSV = 2;      // bit 1
constexpr std::uint32_t DEVICE_FLAG_CSV_OFF = 8;  // bit 3, power-on level "false"

constexpr std::uint8_t DEVICE_TYPE_NONE = 255;

// Values the channel CSV import writes and the decoder reads back.
constexpr std::uint32_t SHORT_ADDRESS_COUNT = 64;   // DALI short addresses 0..63
constexpr std::uint8_t UNADDRESSED = 255;           // address byte of a device without a short address
constexpr std::uint8_t LEVEL_NULL = 255;            // a level of "null"
constexpr std::uint8_t POWER_ON_FALSE_LEVEL = 100;  // the level a power-on level of "false" stores
constexpr std::uint8_t FADE_MAX = 15;               // fade rates and times above are stored as 15
constexpr std::uint8_t SCENE_UNSET = 255;           // a scene entry without a level

// Group entry fields (entry offsets).
constexpr std::uint32_t GROUP_NAME_AT = 0;
constexpr std::uint32_t GROUP_NAME_SIZE = 33;
constexpr std::uint32_t GROUP_ENTRY_MARKER_AT = 36;

constexpr std::uint8_t ENTRY_MARKER_SET = 255;

// The device types that carry type data, in the order of
// channel_layout::type_data_at, with their data length.
struct device_type_data {
    std::uint8_t device_type;
    std::uint32_t size;
};
constexpr std::size_t DEVICE_TYPE_DATA_COUNT = 3;
inline constexpr std::array<device_type_data, DEVICE_TYPE_DATA_COUNT> DEVICE_TYPE_DATA = {{
    {5, 3},  // u16 + u8
    {6, 7},
    {8, 50},  // 48 bytes + u16
}};

// What the channel CSV import stores for a row without short address.
enum channel_unaddressed : int {
    UNADDRESSED_CLEAR_EXTRA = 0,  // clear the device's extra-area record, keep flags bit 0 and address
    UNADDRESSED_STORE_0 = 1,      // address_byte 0, flags bit 0 cleared
    UNADDRESSED_STORE_255 = 2,    // address_byte 255, flags bit 0 cleared
};

// One layout of the channel file. Entry offsets are from the start of a
// device entry; 0 marks a field the layout does not have (no field of the
// layout-specific part starts at 0).
struct channel_layout {
    std::uint32_t version;  // header `version` value
    std::uint32_t size;     // whole file
    std::uint32_t device_entry_size;
    std::uint32_t device_entries_at;
    std::uint32_t group_entries_at;
    std::uint32_t extra_area_at;      // 0: none
    std::uint32_t extra_record_size;  // 0: none
    std::uint32_t trailer_at;         // the kept u32 that ends the file
    std::uint32_t device_type_at;
    std::uint32_t device_type_2_at;                                  // 0: none
    std::array<std::uint32_t, DEVICE_TYPE_DATA_COUNT> type_data_at;  // 0: none
    std::uint32_t name_at;
    std::uint32_t after_name_at;  // kept u8
    std::uint32_t kept_u32_at;
    std::uint32_t kept_16_at;  // 16 kept bytes
    // How the channel CSV import treats the layout.
    channel_unaddressed unaddressed;
    bool import_sets_channel_word;   // file offset 16 from column 0
    bool import_clears_device_type;  // device_type and device_type_2 = 0
};

constexpr std::uint32_t CHANNEL_KEPT_16_SIZE = 16;

// clang-format off
inline constexpr std::array<channel_layout, 3> CHANNEL_LAYOUTS = {{
    {1, 11168, 152, 60, 9788, 10396, 12, 11164, 42, 0, {44, 44, 44}, 94, 127, 128, 136,
     UNADDRESSED_CLEAR_EXTRA, false, false},
    {2, 10912, 160, 60, 10300, 0, 0, 10908, 44, 45, {46, 49, 56}, 106, 139, 140, 144,
     UNADDRESSED_STORE_0, false, false},
    {3, 7072, 100, 60, 6460, 0, 0, 7068, 43, 44, {0, 0, 0}, 45, 78, 80, 84,
     UNADDRESSED_STORE_255, true, true},
}};
// clang-format on

// The layout for a code of channel_layout_for: 0 and 1 give layout 1, 2 and
// 3 their own; anything else null.
const channel_layout* channel_layout_from_code(int code);
// The layout for a header `version` value: 0 and 1 give layout 1; null for
// anything above 3.
const channel_layout* channel_layout_from_version(std::uint32_t version);

inline std::uint32_t channel_device_at(const channel_layout& layout, std::uint32_t index) {
    return layout.device_entries_at + index * layout.device_entry_size;
}
inline std::uint32_t channel_group_at(const channel_layout& layout, std::uint32_t index) {
    return layout.group_entries_at + index * CHANNEL_GROUP_ENTRY_SIZE;
}

// ---- channel inputs file -------------------------------------------------------

constexpr std::uint32_t INPUTS_IMAGE_SIZE = 9564;  // layout 3, the only one the tool builds
constexpr std::uint32_t INPUTS_KEPT_AT = 24;       // u32
constexpr std::uint32_t INPUTS_DEVICE_COUNT = 32;
constexpr std::uint32_t INPUTS_ENTRIES_AT = 28;
constexpr std::uint32_t INPUTS_ENTRY_SIZE = 100;
constexpr std::uint32_t INPUTS_INSTANCE_COUNT = 32;

// Input device entry fields (entry offsets).
constexpr std::uint32_t INPUT_FLAGS_AT = 0;
constexpr std::uint32_t INPUT_ADDRESS_BYTE_AT = 8;
constexpr std::uint32_t INPUT_PARAM_AT = 10;
constexpr std::uint32_t INPUT_ENTRY_MARKER_AT = 13;
constexpr std::uint32_t INPUT_INSTANCES_AT = 16;  // 32 x (type, second value)
constexpr std::uint32_t INPUT_NAME_AT = 80;
constexpr std::uint32_t INPUT_NAME_SIZE = 17;     // 16 characters and NUL
constexpr std::uint32_t INPUT_CARRIED_SIZE = 97;  // bytes 0..96, carried by the conversion
constexpr std::uint8_t INPUT_PARAM_MAX = 32;

constexpr std::uint32_t INSTANCE_RECORD_SIZE = 6;  // layout 3

// The instance types that carry settings, in the order of
// inputs_layout::record_stride.
struct instance_type_data {
    std::uint8_t type;
    std::uint32_t csv_first_byte;  // first record byte written by the CSV import
    std::uint32_t csv_columns;     // values (record bytes) the import writes
    std::uint32_t csv_first_column;
    std::uint32_t carried_size;  // bytes taken from a layout-2 block by the conversion
};
constexpr std::size_t INSTANCE_TYPE_COUNT = 3;
inline constexpr std::array<instance_type_data, INSTANCE_TYPE_COUNT> INSTANCE_TYPES = {{
    {1, 0, 6, 9, 6},
    {3, 1, 3, 15, 4},
    {4, 1, 2, 18, 3},
}};

// One layout of the channel inputs file. Instance record k of block j sits at
// blocks_at + j * block_size + records_at + k * record_stride[t], t the index
// of its instance type in INSTANCE_TYPES.
struct inputs_layout {
    std::uint32_t version;
    std::uint32_t size;
    std::uint32_t block_size;
    std::uint32_t blocks_at;
    std::uint32_t block_param_at;  // block offset
    std::uint32_t records_at;      // block offset of the instance data
    std::array<std::uint32_t, INSTANCE_TYPE_COUNT> record_stride;
};

inline constexpr std::array<inputs_layout, 2> INPUTS_LAYOUTS = {{
    {2, 9436, 194, 3228, 192, 0, {6, 4, 3}},
    {3, 9564, 198, 3228, 1, 6, {6, 6, 6}},
}};

// Layout 2 or 3 by inputs_layout_for code or header `version`; null otherwise.
const inputs_layout* inputs_layout_from_code(int code);
const inputs_layout* inputs_layout_from_version(std::uint32_t version);

inline std::uint32_t inputs_entry_at(std::uint32_t index) { return INPUTS_ENTRIES_AT + index * INPUTS_ENTRY_SIZE; }
inline std::uint32_t inputs_block_at(const inputs_layout& layout, std::uint32_t index) {
    return layout.blocks_at + index * layout.block_size;
}
// Index of an instance type in INSTANCE_TYPES, or -1 for a type without settings.
int instance_type_index(std::uint8_t type);

// ---- the in-memory record of the channel set-up ---------------------------------

// The channel file image (room for the largest layout) and the channel inputs
// file image, both in the file formats above; a fresh record is zero-filled.
struct channel_record {
    std::array<unsigned char, CHANNEL_IMAGE_SIZE> channel{};
    std::array<unsigned char, INPUTS_IMAGE_SIZE> inputs{};
};

// ---- operations ---------------------------------------------------------------

// CRC-16/MCRF4XX over `length` bytes.
std::uint16_t config_crc16(const unsigned char* data, std::size_t length);
// Sets `crc` to 0, computes config_crc16 over `size` bytes and stores it.
void config_stamp_crc(unsigned char* image, std::uint32_t size);

// Layout codes (0..3) by the firmware version text; a null text gives 0.
int channel_layout_for(const char* firmware_version);
int inputs_layout_for(const char* firmware_version);

// Results of the three file operations.
enum : int {
    CHANNEL_FILE_OK = 0,
    CHANNEL_FILE_FAILED = 1,       // missing argument, file missing or unreadable
    CHANNEL_FILE_UNSUPPORTED = 2,  // inputs_file_write: channel layout code is not 3;
                                   // the run must end, nothing is pushed
    CHANNEL_FILE_TAR_FAILED = 3,   // a writer's tar write failed (reported); push nothing
};

// Copies "/etc/config/dali/dali<channel>.bin" out of the fetched set's tar
// into record->channel (cut to 11168 bytes; the rest 0). The image is
// cleared first, so on any failure it is all zero. 0 or CHANNEL_FILE_FAILED.
int channel_file_read(const backup_set_data* set, std::uint32_t channel, channel_record* record);

// Stamps record->channel in the layout of the set's firmware version
// (version and CRC over that layout's size; `size`, `revision` and all other
// bytes unchanged) and writes it to `tar` as "/etc/config/dali/dali<channel>.bin".
// CHANNEL_FILE_FAILED without a message when an argument is missing (no tar,
// no fetched data, no firmware version text, channel 0, no record).
int channel_file_write(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);

// As channel_file_write for record->inputs in layout 3 as
// "/etc/config/dali/cd<channel>.bin". A controller whose channel layout code
// is not 3 gets "error version %s not supported." and CHANNEL_FILE_UNSUPPORTED.
int inputs_file_write(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);
