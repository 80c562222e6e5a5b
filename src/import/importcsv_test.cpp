#include "import/importcsv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

const char* const HEADER = "#dali-channel-csv-version: 1\n";
const char* const EXAMPLE = "0,5,7,Lamp,\"[0,3]\",254,null,1,254,0,20,\"[10,20,null]\"\n";

class ImportCsvTest : public testing::Test {
protected:
    void SetUp() override {
        std::string dir = (std::filesystem::temp_directory_path() / "ornat-importcsv-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        dir_ = dir;
        path_ = dir_ + "/channel.csv";
        // A recognisable image, so that stray writes and kept bytes show.
        for (std::size_t i = 0; i < record_.channel.size(); ++i) {
            record_.channel[i] = static_cast<unsigned char>(i * 13 + 5);
        }
        before_.assign(record_.channel.begin(), record_.channel.end());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Imports `text` on a controller with that firmware; returns the result
    // and keeps the console output.
    int import(const std::string& text, const char* firmware = "1.5.0") {
        std::ofstream(path_, std::ios::binary) << text;
        backup_set_data set;
        if (firmware != nullptr) set.firmware_version = firmware;
        testing::internal::CaptureStdout();
        const int rc = importcsv(&set, path_.c_str(), &record_);
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }

    void expect_image(const bytes& expected) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(record_.channel[i], expected[i]) << "first difference at offset " << i;
        }
    }

    // The example row's fields as they land in a device entry at `e` with
    // the name at `name_at`; the address byte and flags are left to the test.
    static void put_example(bytes& image, std::size_t e, std::size_t name_at) {
        image[e + 5] = 254;  // power_on_level
        image[e + 6] = 255;  // system_failure_level: null
        image[e + 7] = 1;    // min_level
        image[e + 8] = 254;  // max_level
        image[e + 9] = 1;    // fade_rate: 0 raised to 1
        image[e + 10] = 15;  // fade_time: 20 lowered to 15
        le_put_u16(&image[e + 18], 0x0009);                                // groups 0 and 3
        const unsigned char scenes[16] = {10, 20, 255, 255, 255, 255, 255, 255,
                                          255, 255, 255, 255, 255, 255, 255, 255};
        std::memcpy(&image[e + 20], scenes, 16);                           // scenes
        image[e + 36] = 255;                                               // entry_marker
        std::memset(&image[e + name_at], 0, 33);
        std::memcpy(&image[e + name_at], "Lamp", 4);                       // name
    }

    std::string dir_;
    std::string path_;
    std::string out_;
    channel_record record_;
    bytes before_;
};

TEST_F(ImportCsvTest, ExampleRowLayout3) {
    EXPECT_EQ(import(std::string(HEADER) + EXAMPLE), IMPORTCSV_DONE);
    EXPECT_EQ(out_, "0 fields, 2 rows\n");
    bytes expected = before_;
    const std::size_t e = 60 + 5 * 100;
    put_example(expected, e, 45);
    le_put_u32(&expected[e], le_get_u32(&before_[e]) | 3);  // flags: address and CSV
    expected[e + 11] = 15;                                   // address_byte: 2*7+1
    expected[e + 43] = 0;                                    // device_type
    expected[e + 44] = 0;                                    // device_type_2
    le_put_u32(&expected[16], 0);                            // channel word
    expect_image(expected);
}

TEST_F(ImportCsvTest, ExampleRowLayouts1And2KeepTheChannelWord) {
    struct { const char* firmware; std::size_t entry_size; std::size_t name_at; } cases[] = {
        {"1.3.1", 160, 106}, {"1.3.0", 152, 94}, {"0.1", 152, 94}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        std::memcpy(record_.channel.data(), before_.data(), before_.size());
        EXPECT_EQ(import(std::string(HEADER) + EXAMPLE, c.firmware), IMPORTCSV_DONE);
        bytes expected = before_;
        const std::size_t e = 60 + 5 * c.entry_size;
        put_example(expected, e, c.name_at);
        le_put_u32(&expected[e], le_get_u32(&before_[e]) | 3);
        expected[e + 11] = 15;
        expect_image(expected);
    }
}

TEST_F(ImportCsvTest, RowWithoutAddressPerLayout) {
    const std::string csv = std::string(HEADER) + "0,5,null,Lamp,\"[0,3]\",254,null,1,254,0,20,\"[10,20,null]\"\n";
    // Layout 3: address_byte 255, flags bit 0 cleared.
    import(csv, "1.5.0");
    bytes expected = before_;
    std::size_t e = 60 + 500;
    put_example(expected, e, 45);
    le_put_u32(&expected[e], (le_get_u32(&before_[e]) | 2) & ~1u);
    expected[e + 11] = 255;
    expected[e + 43] = 0;
    expected[e + 44] = 0;
    le_put_u32(&expected[16], 0);
    expect_image(expected);

    // Layout 2: address_byte 0, flags bit 0 cleared.
    std::memcpy(record_.channel.data(), before_.data(), before_.size());
    import(csv, "1.3.1");
    expected = before_;
    e = 60 + 5 * 160;
    put_example(expected, e, 106);
    le_put_u32(&expected[e], (le_get_u32(&before_[e]) | 2) & ~1u);
    expected[e + 11] = 0;
    expect_image(expected);

    // Layout 1: flags bit 0 and address_byte kept, extra-area record 5 cleared.
    std::memcpy(record_.channel.data(), before_.data(), before_.size());
    import(csv, "1.3.0");
    expected = before_;
    e = 60 + 5 * 152;
    put_example(expected, e, 94);
    le_put_u32(&expected[e], le_get_u32(&before_[e]) | 2);
    std::memset(&expected[10396 + 5 * 12], 0, 12);
    expect_image(expected);
}

TEST_F(ImportCsvTest, AddressForms) {
    const std::size_t e = 60 + 100;
    struct { const char* address; int byte; bool flag; } cases[] = {
        {"", 1, true},          // empty: short address 0
        {"63", 127, true},
        {"\"\"\"12\"\"\"", 25, true},  // a JSON string: atoi of its text
        {"null", 255, false},
        {"64", -1, false},      // 64..254 change neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        record_.channel[e + 11] = 0x77;
        le_put_u32(&record_.channel[e], 0);
        import(std::string(HEADER) + "0,1," + c.address + ",x,,1,1,1,1,1,1,\n");
        EXPECT_EQ(record_.channel[e + 11], c.byte < 0 ? 0x77 : c.byte);
        EXPECT_EQ(le_get_u32(&record_.channel[e]), c.flag ? 3u : 2u);
    }
}

TEST_F(ImportCsvTest, PowerOnFalseSetsBit3InsteadOfBit1) {
    const std::size_t e = 60 + 500;
    le_put_u32(&record_.channel[e], 0);
    import(std::string(HEADER) + "0,5,7,Lamp,\"[0,3]\",FALSE,NULL,1,254,0,20,\"[10,20,null]\"\n");
    EXPECT_EQ(le_get_u32(&record_.channel[e]), 9u);  // bits 0 and 3
    EXPECT_EQ(record_.channel[e + 5], 100);
    EXPECT_EQ(record_.channel[e + 6], 255);
}

TEST_F(ImportCsvTest, LevelsAndFadesKeepTheirLowByteAndClamp) {
    const std::size_t e = 60;
    import(std::string(HEADER) + "0,0,0,a,,300,-1,257,12,16,16,\n");
    EXPECT_EQ(record_.channel[e + 5], 44);   // 300 & 0xFF
    EXPECT_EQ(record_.channel[e + 6], 255);  // -1
    EXPECT_EQ(record_.channel[e + 7], 1);    // 257
    EXPECT_EQ(record_.channel[e + 9], 15);   // fade rate 16
    EXPECT_EQ(record_.channel[e + 10], 15);  // fade time 16
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record_.channel[e + 20 + i], 255);  // no scenes given
    import(std::string(HEADER) + "0,0,0,a,,0,0,0,0,256,7,\"[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]\"\n");
    EXPECT_EQ(record_.channel[e + 9], 1);  // 256 keeps 0, raised to 1
    EXPECT_EQ(record_.channel[e + 10], 7);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record_.channel[e + 20 + i], i + 1);
    EXPECT_EQ(record_.channel[e + 36], 255);  // the 17th value did not reach the marker
}

TEST_F(ImportCsvTest, GroupLists) {
    const std::size_t e = 60 + 300;
    struct { const char* groups; std::uint16_t mask; } cases[] = {
        {"\"[1,[2],3]\"", 0x0006}, {"3", 0}, {"\"[0,15,16,31,33,null,true]\"", 0x8003},
        {"\"[\"\"4\"\"]\"", 0x0010}, {"\"[1,\"", 0x0002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.groups);
        import(std::string(HEADER) + "0,3,1,a," + c.groups + ",1,1,1,1,1,1,\n");
        EXPECT_EQ(le_get_u16(&record_.channel[e + 18]), c.mask);
    }
}

TEST_F(ImportCsvTest, NameIsCutTo32Characters) {
    const std::size_t e = 60 + 200;
    const std::string name(40, 'N');
    import(std::string(HEADER) + "0,2,1," + name + ",,1,1,1,1,1,1,\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record_.channel[e + 45])), name.substr(0, 32));
    EXPECT_EQ(record_.channel[e + 45 + 32], 0);
    EXPECT_EQ(record_.channel[e + 78], before_[e + 78]);  // the kept byte after the name
}

TEST_F(ImportCsvTest, RowsWithOtherFieldCountsAreDropped) {
    import(std::string(HEADER) + "0,1,1,a,,1,1,1,1,1,1\n"      // 11 fields
                                 "0,2,1,a,,1,1,1,1,1,1,,\n"    // 13 fields
                                 "0,3,1,a,,1,1,1,1,1,1,\n");   // 12 fields
    EXPECT_EQ(out_, "0 fields, 4 rows\n");
    EXPECT_EQ(record_.channel[60 + 100 + 36], before_[60 + 100 + 36]);
    EXPECT_EQ(record_.channel[60 + 200 + 36], before_[60 + 200 + 36]);
    EXPECT_EQ(record_.channel[60 + 300 + 36], 255);
}

TEST_F(ImportCsvTest, VersionLineAndComments) {
    const std::string row = "0,1,1,a,,1,1,1,1,1,1,\n";
    const std::string files[] = {
        "#dali-channel-csv-version: 2\n" + row,
        "# dali-channel-csv-version: 1\n" + row,        // only a comment
        row + HEADER,                                    // the row comes before the version line
        "#dali-channel-groups-csv-version: 1\n" + row,  // another file's header
        std::string(HEADER) + "0,1,1,#a,,1,1,1,1,1,1,\n",  // a comment field makes a comment row
        "",
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        EXPECT_EQ(import(file), IMPORTCSV_DONE);
        expect_image(before_);
    }
    import(std::string("x,#dali-channel-csv-version: 1\n") + row);  // the header may be any field
    EXPECT_EQ(record_.channel[60 + 100 + 36], 255);
}

TEST_F(ImportCsvTest, ByteOrderMarkAndCrLfAreAccepted) {
    import("\xEF\xBB\xBF#dali-channel-csv-version: 1\r\n0,4,1,a,,1,1,1,1,1,1,\r\n");
    EXPECT_EQ(record_.channel[60 + 400 + 36], 255);
    EXPECT_EQ(out_, "0 fields, 2 rows\n");
}

TEST_F(ImportCsvTest, IndexOutOfRangeAndUnfinishedLastRow) {
    import(std::string(HEADER) + "0,64,1,a,,1,1,1,1,1,1,\n0,-1,1,a,,1,1,1,1,1,1,\n0,63,1,a,,1,1,1,1,1,1,");
    EXPECT_EQ(record_.channel[60 + 63 * 100 + 36], 255);  // the last row without line end
    bytes expected = before_;
    std::memcpy(&expected[60 + 63 * 100], &record_.channel[60 + 63 * 100], 100);
    le_put_u32(&expected[16], 0);
    expect_image(expected);
    EXPECT_EQ(out_, "0 fields, 4 rows\n");
}

TEST_F(ImportCsvTest, NothingHappensWithoutFileOrFirmware) {
    backup_set_data set;
    set.firmware_version = "1.5.0";
    testing::internal::CaptureStdout();
    EXPECT_EQ(importcsv(&set, (dir_ + "/missing.csv").c_str(), &record_), IMPORTCSV_OPEN_FAILED);
    EXPECT_EQ(importcsv(&set, dir_.c_str(), &record_), IMPORTCSV_OPEN_FAILED);  // a directory
    EXPECT_EQ(importcsv(&set, nullptr, &record_), IMPORTCSV_DONE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expect_image(before_);

    EXPECT_EQ(import(std::string(HEADER) + EXAMPLE, nullptr), IMPORTCSV_NO_FIRMWARE);
    expect_image(before_);
    EXPECT_EQ(out_, "0 fields, 2 rows\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(importcsv(nullptr, path_.c_str(), &record_), IMPORTCSV_NO_FIRMWARE);
    testing::internal::GetCapturedStdout();
    expect_image(before_);
}

}  // namespace
