#include "channel/channel_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/tar_builder.h"

namespace {

std::string pattern(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + seed);
    return data;
}

backup_set_data fetched_set(const std::vector<tar_entry>& members, const char* firmware, tar_shape shape = {}) {
    backup_set_data set;
    set.data = tar_image(members, shape);
    if (firmware != nullptr) set.firmware_version = firmware;
    return set;
}

const tar_entry STATUS = {"status.txt", "{}"};
const std::string DALI1 = "/etc/config/dali/dali1.bin";

using write_fn = int (*)(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);

// Runs a write into a memory tar; `console` receives what it printed.
int write_into(bytes* out, write_fn write, const backup_set_data& set, std::uint32_t channel, std::string* console) {
    channel_record record;
    const std::string channel_bytes = pattern(CHANNEL_IMAGE_SIZE, 11), inputs_bytes = pattern(INPUTS_IMAGE_SIZE, 5);
    std::copy(channel_bytes.begin(), channel_bytes.end(), record.channel.begin());
    std::copy(inputs_bytes.begin(), inputs_bytes.end(), record.inputs.begin());
    tar_archive tar;
    tar_mem_open_write(&tar, out);
    testing::internal::CaptureStdout();
    const int result = write(&tar, &set, channel, &record);
    *console = testing::internal::GetCapturedStdout();
    return result;
}

TEST(ChannelFileLayout, LookupComparesByteWise) {
    // clang-format off
    struct { const char* firmware; int channel; int inputs; } cases[] = {
        {"1.3.0", 1, 0}, {"1.3.1", 2, 2}, {"1.4.9", 2, 2}, {"1.5.0", 3, 2}, {"2.0", 3, 2},
        {"0.9", 0, 0},   {"", 0, 0},      {"1.10.0", 0, 0}, {"2.2.3", 3, 2}, {"2.2.4", 3, 3},
        {"1.0.0", 0, 0}, {"9", 3, 3},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(channel_layout_for(c.firmware), c.channel) << c.firmware;
        EXPECT_EQ(inputs_layout_for(c.firmware), c.inputs) << c.firmware;
    }
}

// The areas of every layout follow each other without gap or overlap, and the
// per-entry fields fit their entry: a wrong number in a description shows here.
TEST(ChannelFileLayout, DescriptionsTileTheFiles) {
    for (const channel_layout& l : CHANNEL_LAYOUTS) {
        SCOPED_TRACE(l.version);
        EXPECT_EQ(l.device_entries_at + CHANNEL_DEVICE_COUNT * l.device_entry_size, l.group_entries_at);
        const std::uint32_t groups_end = l.group_entries_at + CHANNEL_GROUP_COUNT * CHANNEL_GROUP_ENTRY_SIZE;
        EXPECT_EQ(l.extra_area_at == 0 ? groups_end : l.extra_area_at, groups_end);
        EXPECT_EQ(groups_end + CHANNEL_DEVICE_COUNT * l.extra_record_size, l.trailer_at);
        EXPECT_EQ(l.trailer_at + CHANNEL_TRAILER_SIZE, l.size);
        EXPECT_EQ(l.kept_16_at + CHANNEL_KEPT_16_SIZE, l.device_entry_size);
        EXPECT_EQ(l.name_at + DEVICE_NAME_SIZE, l.after_name_at);
        EXPECT_GE(l.device_type_at, DEVICE_COMMON_SIZE - 1);
        for (std::size_t t = 0; t < DEVICE_TYPE_DATA_COUNT; ++t) {
            if (l.type_data_at[t] != 0) {
                EXPECT_LE(l.type_data_at[t] + DEVICE_TYPE_DATA[t].size, l.name_at);
            }
        }
    }
    EXPECT_EQ(CHANNEL_LAYOUTS[0].size, CHANNEL_IMAGE_SIZE);
    for (const inputs_layout& l : INPUTS_LAYOUTS) {
        EXPECT_EQ(INPUTS_ENTRIES_AT + INPUTS_DEVICE_COUNT * INPUTS_ENTRY_SIZE, l.blocks_at);
        EXPECT_EQ(l.blocks_at + INPUTS_DEVICE_COUNT * l.block_size, l.size);
        for (std::size_t t = 0; t < INSTANCE_TYPE_COUNT; ++t) {
            EXPECT_LE(l.records_at + INPUTS_INSTANCE_COUNT * l.record_stride[t], l.block_size);
        }
    }
    EXPECT_EQ(INPUTS_LAYOUTS[1].size, INPUTS_IMAGE_SIZE);
}

// A member longer than the image is cut to the image; the member of the
// channel asked for is the one read.
TEST(ChannelFileRead, CopiesTheMemberIntoTheImage) {
    const std::string file = pattern(CHANNEL_IMAGE_SIZE + 100, 1);
    const backup_set_data set =
        fetched_set({{DALI1, pattern(10, 9)}, {"/etc/config/dali/dali2.bin", file}, STATUS}, "1.5.0");
    channel_record record;
    ASSERT_EQ(channel_file_read(&set, 2, &record), CHANNEL_FILE_OK);
    const bytes expected(file.begin(), file.begin() + CHANNEL_IMAGE_SIZE);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.channel.begin()));
}

// An empty or cut member is reported on the console and in the log,
// and leaves a zero image.
TEST(ChannelFileRead, FailuresAreReportedAndLeaveAZeroImage) {
    const backup_set_data set = fetched_set({{DALI1, ""}, STATUS}, "1.5.0");
    // The header and the first 512 data bytes only of a 600-byte member; the
    // ways a tar can be cut are the tar tests'.
    const backup_set_data cut = fetched_set({{DALI1, pattern(600, 0)}}, "1.5.0", {.length = 1024});
    const struct {
        const backup_set_data* set;
        const char* console;
        const char* log;
    } cases[] = {
        {&set, "backup\terror '/etc/config/dali/dali1.bin' file size error.\r\n",
         "Error '/etc/config/dali/dali1.bin' file size error.\r\n"},
        {&cut, "backup\terror reading '/etc/config/dali/dali1.bin'\r\n", "Error reading '/etc/config/dali/dali1.bin'."},
    };
    for (const auto& c : cases) {
        channel_record record;
        record.channel.fill(0xAA);
        testing::internal::CaptureStdout();
        EXPECT_EQ(channel_file_read(c.set, 1, &record), CHANNEL_FILE_FAILED);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.console), std::string::npos) << out;
        EXPECT_NE(out.find(c.log), std::string::npos) << out;
        for (unsigned char b : record.channel) ASSERT_EQ(b, 0);
    }
}

// The image goes out in the layout's size with the layout's version and a
// fresh CRC (over the file with the CRC field 0); the size field is kept.
// Layout 3 and the inputs file are the e2e set-up tests'.
TEST(ChannelFileWrite, StampsTheLayoutOfTheFirmware) {
    const struct {
        const char* firmware;
        std::uint32_t version, size;
    } cases[] = {{"1.3.1", 2, 10912}, {"0.9", 1, 11168}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firmware);
        std::string expected = pattern(CHANNEL_IMAGE_SIZE, 11);
        expected.resize(c.size);
        auto* file = reinterpret_cast<unsigned char*>(expected.data());
        le_put_u32(file + CONFIG_VERSION_AT, c.version);
        le_put_u32(file + CONFIG_CRC_AT, 0);
        le_put_u32(file + CONFIG_CRC_AT, config_crc16(file, c.size));

        bytes out;
        std::string console;
        ASSERT_EQ(write_into(&out, channel_file_write, fetched_set({STATUS}, c.firmware), 3, &console),
                  CHANNEL_FILE_OK);
        EXPECT_EQ(out, tar_image({{"/etc/config/dali/dali3.bin", expected}}, {.end_records = 0}));
    }
}

// An inputs file needs channel layout 3: a refused write says so and puts
// nothing into the tar.
TEST(ChannelFileWrite, InputsFileNeedsLayout3) {
    bytes out;
    std::string console;
    EXPECT_EQ(write_into(&out, inputs_file_write, fetched_set({STATUS}, "1.4.9"), 2, &console),
              CHANNEL_FILE_UNSUPPORTED);
    EXPECT_EQ(console, "backup\terror version 1.4.9 not supported.\r\n");
    EXPECT_TRUE(out.empty());
}

}  // namespace
