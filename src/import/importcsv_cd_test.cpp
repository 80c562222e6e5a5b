#include "import/importcsv_cd.h"

#include <string>

#include <gtest/gtest.h>

#include "support/csv_fixture.h"

namespace {

const std::string HEADER = "#dali-channel-inputs-csv-version: 1\n";

using ImportCsvCdTest = CsvImportTest<importcsv_cd>;

// A quoted JSON list of `count` numbers from `first` on, all `first` when
// `same`.
std::string list(int first, int count, bool same = false) {
    std::string text = "\"[";
    for (int i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(same ? first : first + i);
    return text + "]\"";
}

TEST_F(ImportCsvCdTest, InstancesByType) {
    // Instances 0, 1, 2 of types 1, 3, 4; only the values of their own
    // columns and positions are used.
    const std::string row =
        "4,2,3,Button,256,40,\"[1,3,4]\",\"[9,8,7]\",\"[77,66]\","
        "\"[5,6,7]\",[11],[12],[13],[14],[15],"
        "\"[0,21]\",\"[0,22]\",\"[0,23]\",\"[0,0,31]\",\"[0,0,32]\"\n";
    EXPECT_EQ(import(HEADER + row), IMPORTCSV_DONE);
    EXPECT_EQ(out_, "0 fields, 2 rows\n");

    bytes expected = inputs_before_;
    le_put_u32(&expected[16], 4);                           // channel word
    const std::size_t e = 28 + 2 * 100;                     // input device entry 2
    le_put_u32(&expected[e], 256 | 2 | 1);                  // flags: column 4, CSV, address
    expected[e + 8] = 7;                                    // address_byte: 2*3+1
    expected[e + 10] = 32;                                  // input_param: 40 lowered
    expected[e + 13] = 255;                                 // entry_marker
    put(expected, e + 16, padded({1, 9, 3, 8, 4, 7}, 64));  // (type, value) of instances 0..2, then (0, 0)
    put(expected, e + 80, padded(to_bytes("Button"), 17));  // name
    const std::size_t b = 3228 + 2 * 198;                   // instance block 2
    expected[b + 1] = 77;                                   // block_param
    put(expected, b + 6, {5, 11, 12, 13, 14, 15});          // record 0: bytes 0..5
    put(expected, b + 12 + 1, {21, 22, 23});                // record 1: bytes 1..3
    put(expected, b + 18 + 1, {31, 32});                    // record 2: bytes 1..2
    expect_images(channel_before_, expected);
}

TEST_F(ImportCsvCdTest, ListsStopAt32Values) {
    const std::string row = "1,31,null,In,1,0," + list(1, 1) + ",\"[null,true,9]\",," + list(100, 40) + ",,,,,,,,,,\n";
    import(HEADER + row);
    bytes expected = inputs_before_;
    le_put_u32(&expected[16], 1);
    const std::size_t e = 28 + 31 * 100;
    le_put_u32(&expected[e], 2);  // flags 1 | 2 with bit 0 cleared: no address
    expected[e + 8] = 255;
    expected[e + 10] = 0;
    expected[e + 13] = 255;
    put(expected, e + 16, padded({1, 9}, 64));  // instance 0: type 1, value 9 (null and true not counted)
    put(expected, e + 80, padded(to_bytes("In"), 17));
    const std::size_t b = 3228 + 31 * 198;
    expected[b + 1] = 0;  // no block value
    put(expected, b + 6, {100, 0, 0, 0, 0, 0});
    expect_images(channel_before_, expected);

    // 40 type-1 instances: the 32 records of the last block, nothing beyond.
    reset();
    import(HEADER + "1,31,1,In,1,0," + list(1, 40, true) + ",,," + list(100, 40) + ",,,,,,,,,,\n");
    for (std::size_t k = 0; k < 32; ++k) {
        EXPECT_EQ(record_.inputs[e + 16 + 2 * k], 1) << k;
        EXPECT_EQ(record_.inputs[b + 6 + 6 * k], 100 + k) << k;
        EXPECT_EQ(record_.inputs[b + 7 + 6 * k], 0) << k;
    }
}

// Only channel layout 3 takes inputs, tested before the row's index; rows
// with another field count, out-of-range indexes, comment rows or a missing
// file store nothing; a file without a complete row is refused.
TEST_F(ImportCsvCdTest, RefusedFilesAndDroppedRows) {
    EXPECT_EQ(import(HEADER + "1,0,1,a,0,0,,,,,,,,,,,,,,\n1,1,1,a,0,0,,,,,,,,,,,,,,\n", "1.4.9"),
              IMPORTCSV_UNSUPPORTED);
    EXPECT_EQ(out_, "importcsv_cd\terror version 1.4.9 not supported.\r\n");
    EXPECT_EQ(import(HEADER + "1,40,1,a,0,0,,,,,,,,,,,,,,\n", "1.3.0"), IMPORTCSV_UNSUPPORTED);
    EXPECT_EQ(import(HEADER + "1,0,1,a,0,0,,,,,,,,,,,,,\n", "1.3.0"), IMPORTCSV_NO_DATA_ROW);  // 19 fields
    EXPECT_EQ(import(HEADER + "1,32,1,a,0,0,,,,,,,,,,,,,,\n# dali-channel-inputs-csv-version: 1\n"), IMPORTCSV_DONE);
    EXPECT_EQ(run((dir_ + "/none.csv").c_str(), "2.0"), IMPORTCSV_OPEN_FAILED);
    EXPECT_EQ(out_, "");
    expect_unchanged();
}

}  // namespace
