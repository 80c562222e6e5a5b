#include "import/importcsv_groups.h"

#include <string>

#include <gtest/gtest.h>

#include "support/csv_fixture.h"

namespace {

const std::string HEADER = "#dali-channel-groups-csv-version: 1\n";

using ImportCsvGroupsTest = CsvImportTest<importcsv_groups>;

// Group entry at `g`: the name and its NUL filling, then entry_marker 255;
// bytes 33..35 and 37 stay as they were.
void put_group(bytes& image, std::size_t g, const std::string& name) {
    put(image, g, padded(to_bytes(name), 33));
    image[g + 36] = 255;
}

TEST_F(ImportCsvGroupsTest, GroupEntryPerLayout) {
    const std::string long_name(33, 'g');  // cut to 32 characters
    const struct {
        const char* firmware;
        std::size_t groups_at;
    } cases[] = {{"1.5.0", 6460}, {"1.3.1", 10300}, {"1.3.0", 9788}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        reset();
        EXPECT_EQ(import(HEADER + "1,15,Corridor\n0,2,Hall\n0,0,\"" + long_name + "\"\n", c.firmware), IMPORTCSV_DONE);
        EXPECT_EQ(out_, "0 fields, 4 rows\n");
        bytes expected = channel_before_;
        put_group(expected, c.groups_at + 15 * 38, "Corridor");
        put_group(expected, c.groups_at + 2 * 38, "Hall");
        put_group(expected, c.groups_at, long_name.substr(0, 32));
        expect_channel(expected);
    }
}

TEST_F(ImportCsvGroupsTest, DroppedRowsAndFiles) {
    EXPECT_EQ(import(HEADER + "1,16,Corridor\n"  // index out of range
                              "1,-1,Corridor\n"
                              "1,3\n"           // 2 fields
                              "1,3,Hall,x\n"),  // 4 fields
              IMPORTCSV_DONE);
    import("#dali-channel-csv-version: 1\n1,3,Hall\n");  // the channel CSV header
    EXPECT_EQ(run((dir_ + "/none.csv").c_str()), IMPORTCSV_OPEN_FAILED);
    EXPECT_EQ(out_, "");
    expect_unchanged();
}

}  // namespace
