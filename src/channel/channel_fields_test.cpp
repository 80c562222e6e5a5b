#include "channel/channel_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "channel/channel_file.h"
#include "import/csv_export.h"
#include "import/importcsv.h"
#include "import/importcsv_cd.h"
#include "import/importcsv_groups.h"
#include "support/csv_fixture.h"

namespace {

// A firmware version of each channel file layout; "1.5.0" is also the
// first whose controllers take inputs CSV files.
const char* const FIRMWARE_FOR_LAYOUT[] = {nullptr, "1.3.0", "1.3.1", "1.5.0"};

channel_fields decoded(channel_file_kind kind, const bytes& file) {
    channel_fields fields;
    EXPECT_EQ(channel_fields_decode(kind, file.data(), file.size(), &fields), CHANNEL_FIELDS_OK);
    return fields;
}

// The round trips write their CSV files into the import tests' scratch folder.
class ChannelFields : public CsvImportTest<importcsv> {
protected:
    // Runs the CSV import over `text` for a controller of that firmware.
    void import(int (*import_fn)(const backup_set_data*, const char*, channel_record*), const std::string& text,
                const char* firmware, channel_record* record) {
        std::ofstream(path_, std::ios::binary) << text;
        backup_set_data set;
        set.firmware_version = firmware;
        testing::internal::CaptureStdout();
        EXPECT_EQ(import_fn(&set, path_.c_str(), record), IMPORTCSV_DONE);
        testing::internal::GetCapturedStdout();
    }

    // What setup_channel builds from the exported CSV files: the channel
    // file imported onto itself, the inputs file onto zeros.
    bytes round_trip(channel_file_kind kind, const bytes& file) {
        const channel_fields fields = decoded(kind, file);
        auto record = std::make_unique<channel_record>();
        if (kind == channel_file_kind::channel) {
            std::copy(file.begin(), file.end(), record->channel.begin());
            const char* firmware = FIRMWARE_FOR_LAYOUT[fields.layout];
            import(importcsv, csv_export_text(fields, entry_kind::device), firmware, record.get());
            import(importcsv_groups, csv_export_text(fields, entry_kind::group), firmware, record.get());
            return bytes(record->channel.begin(), record->channel.begin() + static_cast<long>(file.size()));
        }
        import(importcsv_cd, csv_export_text(fields, entry_kind::input), "2.2.4", record.get());
        return bytes(record->inputs.begin(), record->inputs.end());
    }
};

// ---- generated files within what the CSV form carries ---------------------------

struct generator {
    std::mt19937 rng;
    unsigned byte() { return rng() & 0xFF; }
    unsigned below(unsigned n) { return static_cast<unsigned>(rng() % n); }
    // Names with the characters CSV quoting must carry: commas, quotes,
    // line ends, blanks at either end, bytes above 127; never a leading "#".
    void name(unsigned char* field, std::size_t size) {
        static const std::string chars = "aZ9 ,\"'\n\r\t;#\xc3\xa9\x80\xff";
        std::memset(field, 0, size);
        const std::size_t n = below(static_cast<unsigned>(size));
        for (std::size_t i = 0; i < n; ++i)
            field[i] = static_cast<unsigned char>(chars[below(static_cast<unsigned>(chars.size()))]);
        if (n > 0 && field[0] == '#') field[0] = 'x';
    }
};

bytes generated_channel_file(generator& g, const channel_layout& l) {
    bytes f(l.size);
    for (auto& b : f) b = static_cast<unsigned char>(g.byte());
    le_put_u32(&f[CONFIG_VERSION_AT], l.version);
    for (std::uint32_t i = 0; i < CHANNEL_DEVICE_COUNT; ++i) {
        unsigned char* e = &f[channel_device_at(l, i)];
        std::uint32_t flags = g.rng();
        if (g.below(2) != 0) {  // unused: no CSV row ever wrote it
            le_put_u32(e, flags & ~(DEVICE_FLAG_CSV | DEVICE_FLAG_CSV_OFF));
            if (e[DEVICE_ENTRY_MARKER_AT] == ENTRY_MARKER_SET) e[DEVICE_ENTRY_MARKER_AT] = 0;
            continue;
        }
        const bool off = g.below(5) == 0;  // a row whose power-on level read "false"
        flags = off ? (flags & ~DEVICE_FLAG_CSV) | DEVICE_FLAG_CSV_OFF : flags | DEVICE_FLAG_CSV;
        if (off) e[DEVICE_POWER_ON_LEVEL_AT] = 100;
        if (g.below(2) != 0) {
            flags |= DEVICE_FLAG_ADDRESS;
            e[DEVICE_ADDRESS_BYTE_AT] = static_cast<unsigned char>(2 * g.below(64) + 1);
        } else {
            flags &= ~DEVICE_FLAG_ADDRESS;
            if (l.unaddressed == UNADDRESSED_STORE_0) e[DEVICE_ADDRESS_BYTE_AT] = 0;
            if (l.unaddressed == UNADDRESSED_STORE_255) e[DEVICE_ADDRESS_BYTE_AT] = 255;
            if (l.unaddressed == UNADDRESSED_CLEAR_EXTRA)
                std::memset(&f[l.extra_area_at + i * l.extra_record_size], 0, l.extra_record_size);
        }
        le_put_u32(e, flags);
        e[DEVICE_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;
        e[DEVICE_FADE_RATE_AT] = static_cast<unsigned char>(1 + g.below(15));
        e[DEVICE_FADE_TIME_AT] = static_cast<unsigned char>(g.below(16));
        g.name(e + l.name_at, DEVICE_NAME_SIZE);
        if (l.import_clears_device_type) e[l.device_type_at] = e[l.device_type_2_at] = 0;
    }
    for (std::uint32_t i = 0; i < CHANNEL_GROUP_COUNT; ++i) {
        unsigned char* e = &f[channel_group_at(l, i)];
        if (g.below(2) != 0) {
            e[GROUP_NAME_AT] = 0;
            if (e[GROUP_ENTRY_MARKER_AT] == ENTRY_MARKER_SET) e[GROUP_ENTRY_MARKER_AT] = 0;
        } else {
            g.name(e + GROUP_NAME_AT, GROUP_NAME_SIZE);
            e[GROUP_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;
        }
    }
    return f;
}

// Layout 3, built from zeros as setup_channel builds it.
bytes generated_inputs_file(generator& g) {
    const inputs_layout& l = INPUTS_LAYOUTS.back();
    bytes f(l.size, 0);
    for (std::size_t i = 0; i < CONFIG_HEADER_SIZE; ++i) f[i] = static_cast<unsigned char>(g.byte());
    le_put_u32(&f[CONFIG_VERSION_AT], l.version);
    bool any = false;
    for (std::uint32_t j = 0; j < INPUTS_DEVICE_COUNT; ++j) {
        if (g.below(2) != 0) continue;
        any = true;
        unsigned char* e = &f[inputs_entry_at(j)];
        unsigned char* block = &f[inputs_block_at(l, j)];
        const bool addressed = g.below(2) != 0;
        const std::uint32_t flags = (g.rng() | DEVICE_FLAG_CSV) & ~DEVICE_FLAG_ADDRESS;
        le_put_u32(e, addressed ? flags | DEVICE_FLAG_ADDRESS : flags);
        e[INPUT_ADDRESS_BYTE_AT] = static_cast<unsigned char>(addressed ? 2 * g.below(64) + 1 : 255);
        e[INPUT_PARAM_AT] = static_cast<unsigned char>(g.below(INPUT_PARAM_MAX + 1));
        e[INPUT_ENTRY_MARKER_AT] = ENTRY_MARKER_SET;
        g.name(e + INPUT_NAME_AT, INPUT_NAME_SIZE);
        block[l.block_param_at] = static_cast<unsigned char>(g.byte());
        for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
            const unsigned types[] = {0, 1, 3, 4, 255, g.byte()};
            const auto type = static_cast<std::uint8_t>(types[g.below(6)]);
            e[INPUT_INSTANCES_AT + 2 * k] = type;
            e[INPUT_INSTANCES_AT + 2 * k + 1] = static_cast<unsigned char>(g.byte());
            const int t = instance_type_index(type);
            if (t < 0) continue;
            const instance_type_data& data = INSTANCE_TYPES[static_cast<std::size_t>(t)];
            for (std::uint32_t c = 0; c < data.csv_columns; ++c) {
                block[l.records_at + k * INSTANCE_RECORD_SIZE + data.csv_first_byte + c] =
                    static_cast<unsigned char>(g.byte());
            }
        }
    }
    le_put_u32(&f[CONFIG_CHANNEL_WORD_AT], any ? g.rng() : 0);
    return f;
}

// The export's promise over 200 generated files per layout: no note, and
// setup_channel with the exported CSV files writes back the same bytes
// (the inputs file apart from its 16-byte header, which the writer restamps).
TEST_F(ChannelFields, GeneratedFilesComeBackByteForByte) {
    generator g{std::mt19937(20240514)};
    for (const channel_layout& l : CHANNEL_LAYOUTS) {
        for (int n = 0; n < 200; ++n) {
            const bytes file = generated_channel_file(g, l);
            ASSERT_TRUE(decoded(channel_file_kind::channel, file).notes.empty())
                << "layout " << l.version << " file " << n;
            ASSERT_EQ(round_trip(channel_file_kind::channel, file), file) << "layout " << l.version << " file " << n;
        }
    }
    for (int n = 0; n < 200; ++n) {
        const bytes file = generated_inputs_file(g);
        ASSERT_TRUE(decoded(channel_file_kind::inputs, file).notes.empty()) << "inputs file " << n;
        const bytes back = round_trip(channel_file_kind::inputs, file);
        ASSERT_TRUE(std::equal(file.begin() + CONFIG_HEADER_SIZE, file.end(), back.begin() + CONFIG_HEADER_SIZE))
            << "inputs file " << n;
    }
}

// One thing the CSV form cannot carry at a time: the note names the entry
// and the field.
TEST_F(ChannelFields, WhatTheCsvCannotCarryIsNamed) {
    const channel_layout& l1 = CHANNEL_LAYOUTS[0];
    const channel_layout& l2 = CHANNEL_LAYOUTS[1];
    const channel_layout& l3 = CHANNEL_LAYOUTS[2];
    auto device = [](const channel_layout& l, bytes& f) { return &f[channel_device_at(l, 5)]; };
    struct mutation {
        const channel_layout* layout;  // null: the inputs file
        std::function<void(bytes&)> apply;
        const char* note;  // "entry / field"
    };
    const mutation cases[] = {
        {&l3, [&](bytes& f) { device(l3, f)[l3.name_at] = '#'; }, "device 5 (address 9) / name"},
        {&l3, [&](bytes& f) { device(l3, f)[l3.name_at + 32] = 'x'; }, "device 5 (address 9) / name"},
        {&l3, [&](bytes& f) { device(l3, f)[DEVICE_FADE_RATE_AT] = 0; }, "device 5 (address 9) / fade_rate"},
        {&l3, [&](bytes& f) { device(l3, f)[DEVICE_FADE_TIME_AT] = 16; }, "device 5 (address 9) / fade_time"},
        {&l3, [&](bytes& f) { device(l3, f)[DEVICE_ENTRY_MARKER_AT] = 7; }, "device 5 (address 9) / entry_marker"},
        {&l3, [&](bytes& f) { device(l3, f)[0] = 1 | 8; }, "device 5 (address 9) / power_on_level"},
        {&l3, [&](bytes& f) { device(l3, f)[0] = 1; }, "device 5 (address 9) / flags"},
        {&l3, [&](bytes& f) { device(l3, f)[0] = 2, device(l3, f)[DEVICE_ADDRESS_BYTE_AT] = 9; }, "device 5 / address"},
        {&l2, [&](bytes& f) { device(l2, f)[0] = 2 | 1, device(l2, f)[DEVICE_ADDRESS_BYTE_AT] = 200; },
         "device 5 / address"},
        {&l1, [&](bytes& f) { device(l1, f)[0] = 2, f[l1.extra_area_at + 5 * 12] = 1; }, "device 5 / address"},
        {&l1, [&](bytes& f) { f[channel_group_at(l1, 2) + GROUP_ENTRY_MARKER_AT] = 0; }, "group 2 / entry_marker"},
        {nullptr, [](bytes& f) { f[inputs_entry_at(4) + 5] = 1; }, "input 4 (address 9) / kept bytes"},
        {nullptr, [](bytes& f) { f[inputs_entry_at(4) + INPUT_PARAM_AT] = 33; }, "input 4 (address 9) / input_param"},
        {nullptr, [](bytes& f) { f[inputs_block_at(INPUTS_LAYOUTS[1], 4) + 3] = 1; },
         "input 4 (address 9) / block bytes"},
        {nullptr, [](bytes& f) { f[inputs_block_at(INPUTS_LAYOUTS[1], 4) + 6 + 6 * 1] = 1; },
         "input 4 (address 9) / instance 1"},
        {nullptr, [](bytes& f) { f[inputs_entry_at(7) + 99] = 1; }, "input entry 7 / bytes"},
        {nullptr, [](bytes& f) { f[21] = 1; }, "file header / bytes 20 to 27"},
    };
    for (const mutation& m : cases) {
        SCOPED_TRACE(m.note);
        // A carried base: device 5 / input 4 in use at short address 9,
        // group 2 named, input 4's instance 1 a type-3 instance.
        bytes f;
        if (m.layout != nullptr) {
            f.assign(m.layout->size, 0);
            le_put_u32(&f[CONFIG_VERSION_AT], m.layout->version);
            unsigned char* e = device(*m.layout, f);
            e[0] = 1 | 2, e[DEVICE_ADDRESS_BYTE_AT] = 19, e[DEVICE_FADE_RATE_AT] = 1, e[DEVICE_ENTRY_MARKER_AT] = 255;
            f[channel_group_at(*m.layout, 2)] = 'G', f[channel_group_at(*m.layout, 2) + GROUP_ENTRY_MARKER_AT] = 255;
        } else {
            f.assign(INPUTS_IMAGE_SIZE, 0);
            le_put_u32(&f[CONFIG_VERSION_AT], 3);
            unsigned char* e = &f[inputs_entry_at(4)];
            e[0] = 1 | 2, e[INPUT_ADDRESS_BYTE_AT] = 19, e[INPUT_ENTRY_MARKER_AT] = 255, e[INPUT_INSTANCES_AT + 2] = 3;
        }
        const channel_file_kind kind = m.layout ? channel_file_kind::channel : channel_file_kind::inputs;
        ASSERT_TRUE(decoded(kind, f).notes.empty());
        m.apply(f);
        const channel_fields fields = decoded(kind, f);
        ASSERT_EQ(fields.notes.size(), 1u);
        EXPECT_EQ(fields.notes[0].entry + " / " + fields.notes[0].field, m.note);
    }
}

// ---- whole-file problems, comparison, CSV text -----------------------------------

// A wrong CRC, an unknown layout and a wrong size are named through
// verify_backup in the end-to-end test.
TEST(ChannelFileProblem, ShortFilesAndTheInputsLayouts) {
    bytes good(7072, 0), inputs_one(100, 0);
    le_put_u32(&good[CONFIG_VERSION_AT], 3);
    config_stamp_crc(good.data(), 7072);
    le_put_u32(&inputs_one[CONFIG_VERSION_AT], 1);
    config_stamp_crc(inputs_one.data(), 100);
    const struct {
        channel_file_kind kind;
        bytes file;
        std::string problem;
    } cases[] = {
        {channel_file_kind::channel, good, ""},
        {channel_file_kind::channel, bytes(10, 0), "10 bytes, too short for a header"},
        {channel_file_kind::inputs, inputs_one, ""},  // layout 1: the CRC over the whole file
    };
    for (const auto& c : cases) {
        const std::string problem = channel_file_problem(c.kind, c.file.data(), c.file.size());
        EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem);
        EXPECT_EQ(problem.empty(), c.problem.empty());
    }
}

TEST(ChannelFieldsCompare, NamesChangedFields) {
    const channel_layout& l1 = CHANNEL_LAYOUTS[0];
    bytes old_file(l1.size, 0);
    le_put_u32(&old_file[CONFIG_VERSION_AT], 1);
    unsigned char* e = &old_file[channel_device_at(l1, 5)];
    e[0] = 1 | 2, e[DEVICE_ADDRESS_BYTE_AT] = 11, e[DEVICE_ENTRY_MARKER_AT] = 255, e[DEVICE_FADE_RATE_AT] = 7;
    std::memcpy(e + l1.name_at, "Hall", 4);
    bytes changed = old_file;
    std::memcpy(&changed[channel_device_at(l1, 5) + l1.name_at], "Hall \"East\"", 11);
    changed[channel_device_at(l1, 5) + DEVICE_SCENES_AT + 1] = 40;
    changed[channel_device_at(l1, 9) + DEVICE_ENTRY_MARKER_AT] = 255;
    le_put_u32(&changed[CONFIG_CHANNEL_WORD_AT], 2);

    const channel_fields old_fields = decoded(channel_file_kind::channel, old_file);
    EXPECT_EQ(
        channel_fields_compare(old_fields, decoded(channel_file_kind::channel, changed)),
        (std::vector<std::string>{
            "    channel: 0 -> 2",
            "    device 5 (address 5) name: \"Hall\" -> \"Hall \\\"East\\\"\"",
            "    device 5 (address 5) scenes: [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0] -> [0,40,0,0,0,0,0,0,0,0,0,0,0,0,0,0]",
            "    device 9 added",
        }));
}

TEST(CsvExport, ImportFormatWithQuotedNamesAndLists) {
    const channel_layout& l = CHANNEL_LAYOUTS[2];
    bytes f(l.size, 0);
    le_put_u32(&f[CONFIG_VERSION_AT], 3);
    le_put_u32(&f[CONFIG_CHANNEL_WORD_AT], 4);
    unsigned char* e = &f[channel_device_at(l, 2)];
    e[0] = 2 | 8, e[DEVICE_ADDRESS_BYTE_AT] = 255, e[DEVICE_ENTRY_MARKER_AT] = 255, e[DEVICE_POWER_ON_LEVEL_AT] = 100;
    e[DEVICE_SYSTEM_FAILURE_LEVEL_AT] = 255, e[DEVICE_FADE_RATE_AT] = 3, e[DEVICE_GROUPS_AT] = 0x05;
    std::memset(e + DEVICE_SCENES_AT, 255, 16);
    e[DEVICE_SCENES_AT + 1] = 20;
    std::memcpy(e + l.name_at, "Desk, \"left\"", 12);
    std::memcpy(&f[channel_group_at(l, 15) + GROUP_NAME_AT], "Corridor", 8);
    f[channel_group_at(l, 15) + GROUP_ENTRY_MARKER_AT] = 255;
    const channel_fields fields = decoded(channel_file_kind::channel, f);
    EXPECT_EQ(csv_export_text(fields, entry_kind::device),
              "#dali-channel-csv-version: 1\n"
              "#columns: channel,index,address,name,groups,power_on_level,system_failure_level,min_level,max_level,"
              "fade_rate,fade_time,scenes\n"
              "4,2,null,\"Desk, \"\"left\"\"\",\"[0,2]\",false,null,0,0,3,0,\"[null,20]\"\n");
    EXPECT_EQ(csv_export_text(fields, entry_kind::group),
              "#dali-channel-groups-csv-version: 1\n#columns: channel,index,name\n4,15,\"Corridor\"\n");
}

}  // namespace
