// The restore walk over real archives, with the upload to the controller
// replaced by a recorder.
#include "action/action_put_backup.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "backup/backup_source.h"
#include "channel/channel_file.h"
#include "support/support.h"
#include "support/tar_builder.h"
#include "tar/tar.h"

namespace {

// What the walk pushed: the device path and data of each one-member tar.
std::vector<std::pair<std::string, bytes>> pushed;

int record_push(const controller_link&, const unsigned char* data, std::size_t count) {
    std::vector<tar_header> members;
    EXPECT_EQ(tar_mem_list(data, count, &members), TAR_OK);
    EXPECT_EQ(members.size(), 1u);
    bytes file;
    if (!members.empty()) tar_mem_member_read(data, count, members[0].name, &file);
    pushed.emplace_back(members.empty() ? "" : members[0].name, file);
    return 0;
}

// A controller that refuses every upload.
int refuse_push(const controller_link&, const unsigned char*, std::size_t) { return 1; }

bytes set_tar(const std::string& device_path, const bytes& file) {
    return tar_image(
        {{device_path, std::string(file.begin(), file.end())}, {"status.txt", "{\"model_name\": \"TARNEL-2\"}"}});
}

// A channel file in layout 2, which firmware 1.3.0 (layout 1) cannot take.
bytes layout2_channel_file() {
    bytes file(10912, 0);
    le_put_u32(file.data() + CONFIG_VERSION_AT, 2);
    return file;
}

class RestoreWalk : public ::testing::Test {
protected:
    void SetUp() override {
        pushed.clear();
        status.model_name = "TARNEL-2";
        status.firmware_version = "1.3.0";
    }

    int restore(const std::vector<std::pair<std::string, bytes>>& members, set_push_fn push = record_push) {
        mzsimple_ptr out = mzsimple_open(path.c_str(), 6, 'w');
        for (const auto& [name, data] : members) {
            mzsimple_entry_open(out.get(), name.c_str());
            mzsimple_entry_write(out.get(), data.data(), data.size());
            mzsimple_entry_close(out.get());
        }
        EXPECT_EQ(mzsimple_close(std::move(out)), 0);
        backup_source source;
        EXPECT_EQ(backup_source_open(path.c_str(), &source), BACKUP_SOURCE_OK);
        testing::internal::CaptureStdout();
        int result = restore_archive(&source, status, controller_link{}, push);
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    scratch_folder scratch;
    const std::string path = (scratch.path / "walk.zip").string();
    status_record status;
    std::string output;
};

const bytes SCHEDULE = {1, 2, 3, 4};
const bytes SYSTEM = {9, 8, 7};

TEST_F(RestoreWalk, PushesSetsInArchiveOrderAndPassesOverOtherMembers) {
    EXPECT_EQ(restore({{"tool.txt", {'{', '}'}},
                       {"schedules.tar", set_tar("/etc/config/schedule/schedule.bin", SCHEDULE)},
                       {"notes.txt", {'x'}},
                       {"backup/dali1.tar", set_tar("/etc/config/dali/dali1.bin", {1})},
                       {"RLC.TAR", set_tar("/etc/config/rlc/rlc.bin", {1})},  // names match exactly
                       {"systemconfig.tar", set_tar("/etc/config/system/systemconfig.bin", SYSTEM)},
                       {"flashfs.bin", bytes(100, 0)}}),
              0)
        << output;
    ASSERT_EQ(pushed.size(), 2u);
    EXPECT_EQ(pushed[0], std::make_pair(std::string("/etc/config/schedule/schedule.bin"), SCHEDULE));
    EXPECT_EQ(pushed[1], std::make_pair(std::string("/etc/config/system/systemconfig.bin"), SYSTEM));
}

// Each failure is named; the run fails and never reports completion.
TEST_F(RestoreWalk, FailuresAreNamedAndOnlySoundSetsArePushed) {
    const bytes not_a_tar = to_bytes("not a tar");
    // clang-format off
    const struct {
        std::vector<std::pair<std::string, bytes>> members;
        set_push_fn push;
        std::vector<std::string> pushed_paths;
        std::vector<std::string> messages;
    } cases[] = {
        // Damaged members stop the restore before anything is pushed; each is named.
        {{{"systemconfig.tar", not_a_tar},
          {"commanders.tar", set_tar("/etc/config/cmdr/other.bin", SYSTEM)},
          {"schedules.tar", set_tar("/etc/config/schedule/schedule.bin", {})},
          {"rlc.tar", set_tar("/etc/config/rlc/rlc.bin", SCHEDULE)}},
         record_push, {},
         {"error '/etc/config/cmdr/cmdr.bin' file not found.\r\nSet commanders was not restored.\r\n",
          "error '/etc/config/schedule/schedule.bin' file size error\r\nSet schedules was not restored.\r\n",
          "systemconfig.bin' file not found.\r\nSet systemconfig was not restored.\r\n", "Nothing was restored.\r\n"}},
        // A set that cannot be converted stops everything; each such set is named on a line of its own.
        {{{"schedules.tar", set_tar("/etc/config/schedule/schedule.bin", SCHEDULE)},
          {"rlc.tar", not_a_tar},
          {"dali1.tar", set_tar("/etc/config/dali/dali1.bin", layout2_channel_file())},
          {"dali2.tar", set_tar("/etc/config/dali/dali2.bin", layout2_channel_file())}},
         record_push, {},
         {"IS NOT SUPPORTED!\r\nCONFIGURATION dali CONVERSION", "IS NOT SUPPORTED!\r\nNothing was restored.\r\n"}},
        {{{"tool.txt", {'{', '}'}}, {"backup/", {}},
          {"backup/dali1.tar", set_tar("/etc/config/dali/dali1.bin", {1})}, {"dali1.tar/", {}}},
         record_push, {}, {"Backup archive '" + path + "' holds no configuration set.\r\n"}},
        // A refused upload: the walk goes on to the next set.
        {{{"rlc.tar", set_tar("/etc/config/rlc/rlc.bin", SCHEDULE)},
          {"schedules.tar", set_tar("/etc/config/schedule/schedule.bin", SCHEDULE)}},
         refuse_push, {},
         {"Set rlc was not restored.\r\n", "Set schedules was not restored.\r\n"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        pushed.clear();
        EXPECT_EQ(restore(c.members, c.push), 1) << output;
        std::vector<std::string> paths;
        for (const auto& p : pushed) paths.push_back(p.first);
        EXPECT_EQ(paths, c.pushed_paths) << output;
        for (const auto& message : c.messages) EXPECT_NE(output.find(message), std::string::npos) << message << output;
        EXPECT_EQ(output.find("Restore operation completed."), std::string::npos) << output;
    }
}

}  // namespace
