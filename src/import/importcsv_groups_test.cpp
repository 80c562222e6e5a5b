#include "import/importcsv_groups.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

const char* const HEADER = "#dali-channel-groups-csv-version: 1\n";

class ImportCsvGroupsTest : public testing::Test {
protected:
    void SetUp() override {
        std::string dir = (std::filesystem::temp_directory_path() / "ornat-groups-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        dir_ = dir;
        for (std::size_t i = 0; i < record_.channel.size(); ++i) {
            record_.channel[i] = static_cast<unsigned char>(i * 11 + 1);
        }
        before_.assign(record_.channel.begin(), record_.channel.end());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int import(const std::string& text, const char* firmware = "1.5.0") {
        const std::string path = dir_ + "/groups.csv";
        std::ofstream(path, std::ios::binary) << text;
        backup_set_data set;
        if (firmware != nullptr) set.firmware_version = firmware;
        testing::internal::CaptureStdout();
        const int rc = importcsv_groups(&set, path.c_str(), &record_);
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }

    void expect_image(const bytes& expected) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(record_.channel[i], expected[i]) << "first difference at offset " << i;
        }
    }

    // Group entry at `g`: the name and its NUL filling, then entry_marker 255;
    // bytes 33..35 and 37 stay as they were.
    static void put_group(bytes& image, std::size_t g, const std::string& name) {
        std::memset(&image[g], 0, 33);
        std::memcpy(&image[g], name.data(), name.size());
        image[g + 36] = 255;
    }

    std::string dir_;
    std::string out_;
    bytes before_;
    channel_record record_;
};

TEST_F(ImportCsvGroupsTest, GroupEntryPerLayout) {
    struct { const char* firmware; std::size_t groups_at; } cases[] = {
        {"1.5.0", 6460}, {"1.3.1", 10300}, {"1.3.0", 9788}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        std::memcpy(record_.channel.data(), before_.data(), before_.size());
        EXPECT_EQ(import(std::string(HEADER) + "1,15,Corridor\n0,2,Hall\n", c.firmware), IMPORTCSV_DONE);
        EXPECT_EQ(out_, "0 fields, 3 rows\n");
        bytes expected = before_;
        put_group(expected, c.groups_at + 15 * 38, "Corridor");
        put_group(expected, c.groups_at + 2 * 38, "Hall");
        expect_image(expected);
    }
}

TEST_F(ImportCsvGroupsTest, DroppedRows) {
    EXPECT_EQ(import(std::string(HEADER) + "1,16,Corridor\n"   // index out of range
                                           "1,-1,Corridor\n"
                                           "1,3\n"              // 2 fields
                                           "1,3,Hall,x\n"),     // 4 fields
              IMPORTCSV_DONE);
    expect_image(before_);
    import("#dali-channel-csv-version: 1\n1,3,Hall\n");  // the channel CSV header
    expect_image(before_);
    EXPECT_EQ(import(std::string(HEADER) + "1,3,Hall\n", nullptr), IMPORTCSV_NO_FIRMWARE);
    expect_image(before_);
}

TEST_F(ImportCsvGroupsTest, NameIsCutTo32Characters) {
    const std::string name(33, 'g');
    import(std::string(HEADER) + "0,0,\"" + name + "\"\n");
    bytes expected = before_;
    put_group(expected, 6460, name.substr(0, 32));
    expect_image(expected);
}

TEST_F(ImportCsvGroupsTest, MissingFileChangesNothing) {
    backup_set_data set;
    set.firmware_version = "1.5.0";
    testing::internal::CaptureStdout();
    EXPECT_EQ(importcsv_groups(&set, (dir_ + "/none.csv").c_str(), &record_), IMPORTCSV_OPEN_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expect_image(before_);
}

}  // namespace
