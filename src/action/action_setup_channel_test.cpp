// The channel set-up with the controller replaced: the fetch serves a
// channel set from memory and the upload is recorded.
#include "action/action_setup_channel.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "channel/channel_file.h"
#include "support/support.h"
#include "support/tar_builder.h"
#include "tar/tar.h"

namespace {

std::vector<std::string> fetched;
std::vector<bytes> pushed;

// A controller on firmware 1.3.0 whose channels 1 and 2 hold a blank
// layout-1 channel file; channel 3 is missing.
int serve_set(const controller_link&, const char* set_name, backup_set_data* set) {
    fetched.push_back(set_name);
    *set = backup_set_data{};
    std::string name(set_name);
    if (name != "dali1" && name != "dali2") return 3;
    bytes file(CHANNEL_IMAGE_SIZE, 0);
    le_put_u32(file.data() + CONFIG_SIZE_AT, CHANNEL_IMAGE_SIZE);
    le_put_u32(file.data() + CONFIG_VERSION_AT, 1);
    std::string path = "/etc/config/dali/" + name + ".bin";
    set->data = tar_image({{path, std::string(file.begin(), file.end())}});
    set->firmware_version = "1.3.0";
    return 0;
}

int record_push(const controller_link&, const unsigned char* data, std::size_t count) {
    pushed.emplace_back(data, data + count);
    return 0;
}

class SetupChannels : public ::testing::Test {
protected:
    void SetUp() override {
        fetched.clear();
        pushed.clear();
        std::ofstream(csv) << "#dali-channel-csv-version: 1\n0,5,7,Hall,\"[0,3]\",254,null,1,254,0,20,\"[10]\"\n";
    }

    int run(std::vector<std::uint32_t> channels, std::vector<std::string> files) {
        testing::internal::CaptureStdout();
        int result =
            setup_channels(controller_link{}, &channels, &files, nullptr, nullptr, channel_io{serve_set, record_push});
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    scratch_folder scratch;
    const std::string csv = (scratch.path / "setup.csv").string();
    std::string output;
};

TEST_F(SetupChannels, EachChannelGetsItsFileAndOnlyWholeChannelsArePushed) {
    // Channel 2's CSV file does not exist and channel 3 has no channel file:
    // neither is pushed, channel 1 still is, and the run fails.
    EXPECT_EQ(run({1, 2, 3}, {csv, csv + ".missing", csv}), 1) << output;
    EXPECT_EQ(fetched, (std::vector<std::string>{"dali1", "dali2", "dali3"}));
    ASSERT_EQ(pushed.size(), 1u);
    bytes file;
    ASSERT_EQ(tar_mem_member_read(pushed[0].data(), pushed[0].size(), "/etc/config/dali/dali1.bin", &file), TAR_OK);
    EXPECT_NE(std::string(file.begin(), file.end()).find("Hall"), std::string::npos);
}

TEST_F(SetupChannels, ChannelListEndsAtItsFirstZero) {
    EXPECT_EQ(run({2, 0, 1}, {csv, csv}), 0) << output;
    EXPECT_EQ(fetched, (std::vector<std::string>{"dali2"}));
    EXPECT_EQ(pushed.size(), 1u);
}

}  // namespace
