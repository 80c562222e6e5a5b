#include "import/importcsv.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/csv_fixture.h"

namespace {

const std::string HEADER = "#dali-channel-csv-version: 1\n";
// The example row after its first two fields (import kind 0, entry 5) and
// its address.
const std::string EXAMPLE = ",Lamp,\"[0,3]\",254,null,1,254,0,20,\"[10,20,null]\"\n";
const std::string ROW = "1,a,,1,1,1,1,1,1,\n";  // a complete row after "0,<entry>,"

using ImportCsvTest = CsvImportTest<importcsv>;

// The example row's fields as they land in a device entry at `e` with the
// name at `name_at`; the address byte and flags are left to the test.
void put_example(bytes& image, std::size_t e, std::size_t name_at) {
    image[e + 5] = 254;                    // power_on_level
    image[e + 6] = 255;                    // system_failure_level: null
    image[e + 7] = 1;                      // min_level
    image[e + 8] = 254;                    // max_level
    image[e + 9] = 1;                      // fade_rate: 0 raised to 1
    image[e + 10] = 15;                    // fade_time: 20 lowered to 15
    le_put_u16(&image[e + 18], 0x0009);    // groups 0 and 3
    std::memset(&image[e + 20], 255, 16);  // scenes: 10, 20, the rest none
    put(image, e + 20, {10, 20});
    image[e + 36] = 255;                                    // entry_marker
    put(image, e + name_at, padded(to_bytes("Lamp"), 33));  // name
}

// The example row in every layout, with an address and without one.
TEST_F(ImportCsvTest, ExampleRowPerLayout) {
    const struct {
        const char* firmware;
        const char* address;
        std::size_t entry_size, name_at;
        std::uint32_t flags_set, flags_cleared;
        int address_byte;    // -1: kept
        bool layout3;        // the device type bytes and the channel word are cleared
        bool extra_cleared;  // layout 1 without address: the entry's extra-area record is cleared
    } cases[] = {
        {"1.5.0", "7", 100, 45, 3, 0, 15, true, false},   {"1.5.0", "null", 100, 45, 2, 1, 255, true, false},
        {"1.3.1", "7", 160, 106, 3, 0, 15, false, false}, {"1.3.1", "null", 160, 106, 2, 1, 0, false, false},
        {"1.3.0", "7", 152, 94, 3, 0, 15, false, false},  {"1.3.0", "null", 152, 94, 2, 0, -1, false, true},
        {"0.1", "7", 152, 94, 3, 0, 15, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.firmware) + " address " + c.address);
        reset();
        EXPECT_EQ(import(HEADER + "0,5," + c.address + EXAMPLE, c.firmware), IMPORTCSV_DONE);
        bytes expected = channel_before_;
        const std::size_t e = 60 + 5 * c.entry_size;
        put_example(expected, e, c.name_at);
        le_put_u32(&expected[e], (le_get_u32(&channel_before_[e]) | c.flags_set) & ~c.flags_cleared);
        if (c.address_byte >= 0) expected[e + 11] = static_cast<unsigned char>(c.address_byte);
        if (c.layout3) {
            expected[e + 43] = 0;  // device_type
            expected[e + 44] = 0;  // device_type_2
            le_put_u32(&expected[16], 0);
        }
        if (c.extra_cleared) std::memset(&expected[10396 + 5 * 12], 0, 12);
        expect_channel(expected);
    }
}

TEST_F(ImportCsvTest, AddressForms) {
    const std::size_t e = 60 + 100;
    const struct {
        const char* address;
        int byte;  // -1: kept
        bool flag;
    } cases[] = {
        {"", 1, true},                                       // empty: short address 0
        {"63", 127, true},    {"\"\"\"12\"\"\"", 25, true},  // a JSON string: atoi of its text
        {"null", 255, false}, {"64", -1, false},             // 64..254 change neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        record_.channel[e + 11] = 0x77;
        le_put_u32(&record_.channel[e], 0);
        import(HEADER + "0,1," + c.address + ",x,,1,1,1,1,1,1,\n");
        EXPECT_EQ(record_.channel[e + 11], c.byte < 0 ? 0x77 : c.byte);
        EXPECT_EQ(le_get_u32(&record_.channel[e]), c.flag ? 3u : 2u);
    }
}

TEST_F(ImportCsvTest, LevelsFadesAndScenes) {
    const std::size_t e = 60;
    import(HEADER + "0,0,0,a,,300,-1,257,12,16,16,\n");
    EXPECT_EQ(record_.channel[e + 5], 44);                                     // 300 & 0xFF
    EXPECT_EQ(record_.channel[e + 6], 255);                                    // -1
    EXPECT_EQ(record_.channel[e + 7], 1);                                      // 257
    EXPECT_EQ(record_.channel[e + 9], 15);                                     // fade rate 16
    EXPECT_EQ(record_.channel[e + 10], 15);                                    // fade time 16
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record_.channel[e + 20 + i], 255);  // no scenes given
    import(HEADER + "0,0,0,a,,0,0,0,0,256,7,\"[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]\"\n");
    EXPECT_EQ(record_.channel[e + 9], 1);  // 256 keeps 0, raised to 1
    EXPECT_EQ(record_.channel[e + 10], 7);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record_.channel[e + 20 + i], i + 1);
    EXPECT_EQ(record_.channel[e + 36], 255);  // the 17th value did not reach the marker

    // A power-on level of FALSE sets flag bit 3 instead of bit 1.
    le_put_u32(&record_.channel[e + 500], 0);
    import(HEADER + "0,5,7,Lamp,\"[0,3]\",FALSE,NULL,1,254,0,20,\"[10,20,null]\"\n");
    EXPECT_EQ(le_get_u32(&record_.channel[e + 500]), 9u);  // bits 0 and 3
    EXPECT_EQ(record_.channel[e + 505], 100);
    EXPECT_EQ(record_.channel[e + 506], 255);
}

TEST_F(ImportCsvTest, GroupListsAndName) {
    const std::size_t e = 60 + 300;
    const struct {
        const char* groups;
        std::uint16_t mask;
    } cases[] = {
        {"\"[1,[2],3]\"", 0x0006}, {"3", 0}, {"\"[0,15,16,31,33,null,true]\"", 0x8003}, {"\"[\"\"4\"\"]\"", 0x0010},
        {"\"[1,\"", 0x0002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.groups);
        import(HEADER + "0,3,1,a," + c.groups + ",1,1,1,1,1,1,\n");
        EXPECT_EQ(le_get_u16(&record_.channel[e + 18]), c.mask);
    }
    const std::string name(40, 'N');  // cut to 32 characters
    import(HEADER + "0,3,1," + name + ",,1,1,1,1,1,1,\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record_.channel[e + 45])), name.substr(0, 32));
    EXPECT_EQ(record_.channel[e + 78], channel_before_[e + 78]);  // the kept byte after the name
}

// Which rows of a file are stored: only complete rows after a version line
// 1, at entries 0..63. A stored row changes its entry and the channel word.
// A file without any such row is refused.
TEST_F(ImportCsvTest, RowsThatAreStored) {
    const struct {
        std::string text;
        std::vector<std::size_t> stored;
        const char* out;  // null: not checked
    } files[] = {
        {HEADER + "0,1,1,a,,1,1,1,1,1,1\n0,2,1,a,,1,1,1,1,1,1,,\n0,3," + ROW,
         {3},
         "0 fields, 4 rows\n"},  // 11, 13, 12 fields
        {"#dali-channel-csv-version: 2\n0,1," + ROW, {}, nullptr},
        {"# dali-channel-csv-version: 1\n0,1," + ROW, {}, nullptr},        // only a comment
        {"0,1," + ROW + HEADER, {}, nullptr},                              // the row comes before the version line
        {"#dali-channel-groups-csv-version: 1\n0,1," + ROW, {}, nullptr},  // another file's header
        {HEADER + "0,1,1,#a,,1,1,1,1,1,1,\n", {}, nullptr},                // a comment field makes a comment row
        {"x,#dali-channel-csv-version: 1\n0,1," + ROW, {1}, nullptr},      // the header may be any field
        {"\xEF\xBB\xBF#dali-channel-csv-version: 1\r\n0,4,1,a,,1,1,1,1,1,1,\r\n", {4}, "0 fields, 2 rows\n"},
        {HEADER + "0,64," + ROW + "0,-1," + ROW + "0,63,1,a,,1,1,1,1,1,1,",
         {63},
         "0 fields, 4 rows\n"},  // no last line end
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.text);
        reset();
        EXPECT_EQ(import(f.text), f.stored.empty() ? IMPORTCSV_NO_DATA_ROW : IMPORTCSV_DONE);
        if (f.out != nullptr) {
            EXPECT_EQ(out_, f.out);
        }
        bytes expected = channel_before_;
        for (std::size_t entry : f.stored) {
            const std::size_t e = 60 + entry * 100;
            EXPECT_EQ(record_.channel[e + 36], 255);
            std::memcpy(&expected[e], &record_.channel[e], 100);
            le_put_u32(&expected[16], 0);
        }
        expect_channel(expected);
    }
}

// Without a file nothing changes and nothing is said (setup_channel names
// the file).
TEST_F(ImportCsvTest, NothingIsStoredWithoutAFile) {
    const std::string missing = dir_ + "/missing.csv";
    for (const std::string& path : {missing, dir_}) {  // dir_: a folder
        EXPECT_EQ(run(path.c_str()), IMPORTCSV_OPEN_FAILED);
        EXPECT_EQ(out_, "");
    }
    expect_unchanged();
}

}  // namespace
