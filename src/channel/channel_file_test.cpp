#include "channel/channel_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

struct member {
    std::string name;
    bytes data;
};

bytes write_tar(const std::vector<member>& members) {
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    for (const member& m : members) {
        const auto size = static_cast<std::uint32_t>(m.data.size());
        EXPECT_EQ(tar_write_file_header(&tar, m.name.c_str(), size), TAR_OK);
        if (size != 0) {
            EXPECT_EQ(tar_write_data(&tar, m.data.data(), size), TAR_OK);
        }
    }
    EXPECT_EQ(tar_finalize(&tar), TAR_OK);
    return out;
}

// The one member of a written tar, or an empty vector with the name "<none>".
member read_single(const bytes& tar_bytes) {
    tar_mem_block block{tar_bytes.data(), tar_bytes.size()};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    tar_header header;
    if (tar_read_header(&tar, &header) != TAR_OK) return {"<none>", {}};
    bytes data(header.size);
    EXPECT_EQ(tar_read_data(&tar, data.data(), header.size), TAR_OK);
    return {header.name, data};
}

bytes pattern(std::size_t size, unsigned seed) {
    bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 7 + seed);
    return data;
}

backup_set_data fetched_set(const std::vector<member>& members, const char* firmware) {
    backup_set_data set;
    set.data = write_tar(members);
    if (firmware != nullptr) set.firmware_version = firmware;
    return set;
}

const member STATUS = {"status.txt", {'{', '}'}};

using write_fn = int (*)(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);

TEST(ChannelFileCrc, CheckValue) {
    EXPECT_EQ(config_crc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x6F91);
}

TEST(ChannelFileLayout, LookupComparesByteWise) {
    struct { const char* firmware; int channel; int inputs; } cases[] = {
        {"1.3.0", 1, 0}, {"1.3.1", 2, 2}, {"1.4.9", 2, 2}, {"1.5.0", 3, 2}, {"2.0", 3, 2},
        {"0.9", 0, 0},   {"", 0, 0},      {"1.10.0", 0, 0}, {"2.2.3", 3, 2}, {"2.2.4", 3, 3},
        {"1.0.0", 0, 0}, {"9", 3, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(channel_layout_for(c.firmware), c.channel) << c.firmware;
        EXPECT_EQ(inputs_layout_for(c.firmware), c.inputs) << c.firmware;
    }
    EXPECT_EQ(channel_layout_for(nullptr), 0);
    EXPECT_EQ(inputs_layout_for(nullptr), 0);
}

// The areas of every layout follow each other without gap or overlap, and the
// per-entry fields fit their entry: a wrong number in a description shows here.
TEST(ChannelFileLayout, DescriptionsTileTheFiles) {
    for (const channel_layout& l : CHANNEL_LAYOUTS) {
        SCOPED_TRACE(l.version);
        EXPECT_EQ(l.device_entries_at + CHANNEL_DEVICE_COUNT * l.device_entry_size, l.group_entries_at);
        const std::uint32_t groups_end = l.group_entries_at + CHANNEL_GROUP_COUNT * CHANNEL_GROUP_ENTRY_SIZE;
        const std::uint32_t extra_end = groups_end + CHANNEL_DEVICE_COUNT * l.extra_record_size;
        EXPECT_EQ(l.extra_area_at == 0 ? groups_end : l.extra_area_at, groups_end);
        EXPECT_EQ(extra_end, l.trailer_at);
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

// A shorter member fills the start of the image and zeroes the rest; a
// longer one is cut to the image.
TEST(ChannelFileRead, CopiesTheMemberIntoTheImage) {
    for (std::size_t size : {std::size_t{7072}, std::size_t{CHANNEL_IMAGE_SIZE + 100}}) {
        const bytes file = pattern(size, 1);
        const backup_set_data set = fetched_set({{"/etc/config/dali/dali1.bin", pattern(10, 9)},
                                                 {"/etc/config/dali/dali2.bin", file}, STATUS},
                                                "1.5.0");
        channel_record record;
        record.channel.fill(0xAA);
        ASSERT_EQ(channel_file_read(&set, 2, &record), CHANNEL_FILE_OK);
        bytes expected(CHANNEL_IMAGE_SIZE, 0);
        std::copy_n(file.begin(), std::min(size, expected.size()), expected.begin());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.channel.begin())) << size;
    }
}

// A missing, empty or cut member is reported on the console and in the log,
// and leaves a zero image.
TEST(ChannelFileRead, FailuresAreReportedAndLeaveAZeroImage) {
    const backup_set_data set = fetched_set({{"/etc/config/dali/dali1.bin", {}}, STATUS}, "1.5.0");
    // 600 bytes: the read runs past the block; 2000: the header claims more
    // than the whole tar holds.
    backup_set_data cut[2] = {fetched_set({{"/etc/config/dali/dali1.bin", pattern(600, 0)}}, "1.5.0"),
                              fetched_set({{"/etc/config/dali/dali1.bin", pattern(2000, 0)}}, "1.5.0")};
    for (backup_set_data& c : cut) c.data.resize(1024);  // the header and the first 512 data bytes only
    const struct {
        const backup_set_data* set;
        std::uint32_t channel;
        const char* console;
        const char* log;
    } cases[] = {
        {&set, 2, "backup\terror '/etc/config/dali/dali2.bin' file not found.\r\n",
         "Error '/etc/config/dali/dali2.bin' file not found.\r\n"},
        {&set, 1, "backup\terror '/etc/config/dali/dali1.bin' file size error.\r\n",
         "Error '/etc/config/dali/dali1.bin' file size error.\r\n"},
        {&cut[0], 1, "backup\terror reading '/etc/config/dali/dali1.bin'\r\n", "Error reading '/etc/config/dali/dali1.bin'."},
        {&cut[1], 1, "backup\terror reading '/etc/config/dali/dali1.bin'\r\n", "Error reading '/etc/config/dali/dali1.bin'."},
    };
    for (const auto& c : cases) {
        channel_record record;
        record.channel.fill(0xAA);
        testing::internal::CaptureStdout();
        EXPECT_EQ(channel_file_read(c.set, c.channel, &record), CHANNEL_FILE_FAILED);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.console), std::string::npos) << out;
        EXPECT_NE(out.find(c.log), std::string::npos) << out;
        for (unsigned char b : record.channel) ASSERT_EQ(b, 0);
    }
    channel_record record;
    EXPECT_EQ(channel_file_read(&set, 0, &record), CHANNEL_FILE_FAILED);
    const backup_set_data empty;
    EXPECT_EQ(channel_file_read(&empty, 3, &record), CHANNEL_FILE_FAILED);
}

// The image goes out in the layout's size with the layout's version and a
// fresh CRC (over the file with the CRC field 0); the size field is kept.
TEST(ChannelFileWrite, StampsTheLayoutOfTheFirmware) {
    const struct {
        write_fn write;
        const char* firmware;
        const char* name;
        std::uint32_t version, size;
    } cases[] = {
        {channel_file_write, "1.5.0", "/etc/config/dali/dali3.bin", 3, 7072},
        {channel_file_write, "1.3.1", "/etc/config/dali/dali3.bin", 2, 10912},
        {channel_file_write, "1.3.0", "/etc/config/dali/dali3.bin", 1, 11168},
        {channel_file_write, "0.9", "/etc/config/dali/dali3.bin", 1, 11168},
        {inputs_file_write, "1.5.0", "/etc/config/dali/cd3.bin", 3, 9564},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.firmware);
        channel_record record;
        const bytes channel = pattern(CHANNEL_IMAGE_SIZE, 11), inputs = pattern(INPUTS_IMAGE_SIZE, 5);
        std::copy(channel.begin(), channel.end(), record.channel.begin());
        std::copy(inputs.begin(), inputs.end(), record.inputs.begin());
        bytes expected(c.write == inputs_file_write ? inputs : channel);
        expected.resize(c.size);
        le_put_u32(&expected[CONFIG_VERSION_AT], c.version);
        le_put_u32(&expected[CONFIG_CRC_AT], 0);
        le_put_u32(&expected[CONFIG_CRC_AT], config_crc16(expected.data(), c.size));

        const backup_set_data set = fetched_set({STATUS}, c.firmware);
        bytes out;
        tar_archive tar;
        tar_mem_open_write(&tar, &out);
        ASSERT_EQ(c.write(&tar, &set, 3, &record), CHANNEL_FILE_OK);
        const member written = read_single(out);
        EXPECT_EQ(written.name, c.name);
        EXPECT_TRUE(written.data == expected);
    }
}

// Refused writes put nothing into the tar: an inputs file needs channel
// layout 3 and says so; without a firmware version or for channel 0 nothing
// is said.
TEST(ChannelFileWrite, RefusedWritesWriteNothing) {
    const backup_set_data set = fetched_set({STATUS}, "1.5.0"), old = fetched_set({STATUS}, "1.4.9"),
                          no_firmware = fetched_set({STATUS}, nullptr);
    const struct {
        write_fn write;
        const backup_set_data* set;
        std::uint32_t channel;
        int result;
        const char* console;
    } cases[] = {
        {inputs_file_write, &old, 2, CHANNEL_FILE_UNSUPPORTED, "backup\terror version 1.4.9 not supported.\r\n"},
        {channel_file_write, &no_firmware, 1, CHANNEL_FILE_FAILED, ""},
        {inputs_file_write, &no_firmware, 1, CHANNEL_FILE_FAILED, ""},
        {channel_file_write, &set, 0, CHANNEL_FILE_FAILED, ""},
        {inputs_file_write, &set, 0, CHANNEL_FILE_FAILED, ""},
    };
    for (const auto& c : cases) {
        channel_record record;
        bytes out;
        tar_archive tar;
        tar_mem_open_write(&tar, &out);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.write(&tar, c.set, c.channel, &record), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console);
        EXPECT_TRUE(out.empty());
    }
}

// A tar stream that accepts `budget` writes, then fails.
int failing_write(tar_archive* tar, const void*, std::uint32_t) {
    int* budget = static_cast<int*>(tar->stream);
    return (*budget)-- > 0 ? TAR_OK : TAR_WRITE_FAILED;
}

TEST(ChannelFileWrite, TarWriteFailuresAreReported) {
    const backup_set_data set = fetched_set({STATUS}, "1.5.0");
    channel_record record;
    struct { int budget; const char* console; const char* log; } cases[] = {
        {0, "backup\terror writing file '/etc/config/dali/dali1.bin' header.\r\n",
         "Error writing file '/etc/config/dali/dali1.bin' header.\r\n"},
        {1, "backup\terror writing file '/etc/config/dali/dali1.bin' data.\r\n",
         "Error writing file '/etc/config/dali/dali1.bin' data.\r\n"},
    };
    for (const auto& c : cases) {
        int budget = c.budget;
        tar_archive tar;
        tar.write = failing_write;
        tar.stream = &budget;
        testing::internal::CaptureStdout();
        EXPECT_EQ(channel_file_write(&tar, &set, 1, &record), CHANNEL_FILE_TAR_FAILED);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.console), std::string::npos) << out;
        EXPECT_NE(out.find(c.log), std::string::npos) << out;
    }
}

}  // namespace
