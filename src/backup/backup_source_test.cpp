#include "backup/backup_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backup/config_sets.h"
#include "support/support.h"
#include "support/tar_builder.h"

namespace {

namespace fs = std::filesystem;

bytes set_tar(const std::string& path, const std::string& content) {
    return tar_image({{path, content}, {"status.txt", content}});
}

class BackupSource : public testing::Test {
protected:
    void write(const fs::path& path, const bytes& data) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
    }
    scratch_folder scratch_;
    const fs::path dir_ = scratch_.path;
};

// The three forms list the same kind of members and read them back whole.
TEST_F(BackupSource, ArchiveFolderAndSetTar) {
    const bytes dali = set_tar("/etc/config/dali/dali2.bin", "channel");
    fs::create_directories(dir_ / "folder/sub");
    write(dir_ / "folder/tool.txt", {'t'});
    write(dir_ / "folder/dali2.tar", dali);
    mzsimple_ptr zip = mzsimple_open((dir_ / "backup.zip").c_str(), 6, 'w');
    for (const auto& [name, data] : {std::pair{"tool.txt", bytes{'t'}}, std::pair{"dali2.tar", dali}}) {
        mzsimple_entry_open(zip.get(), name);
        mzsimple_entry_write(zip.get(), data.data(), data.size());
        mzsimple_entry_close(zip.get());
    }
    ASSERT_EQ(mzsimple_close(std::move(zip)), 0);
    write(dir_ / "renamed.tar", dali);

    const struct {
        const char* path;
        backup_source_kind kind;
        std::vector<std::string> members;
    } cases[] = {
        {"backup.zip", backup_source_kind::archive, {"tool.txt", "dali2.tar"}},
        {"folder", backup_source_kind::folder, {"dali2.tar", "sub/", "tool.txt"}},
        {"renamed.tar", backup_source_kind::set_tar, {"dali2.tar"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        backup_source source;
        ASSERT_EQ(backup_source_open((dir_ / c.path).c_str(), &source), BACKUP_SOURCE_OK);
        EXPECT_EQ(source.kind, c.kind);
        EXPECT_EQ(source.members, c.members);
        bytes file;
        EXPECT_EQ(backup_source_set_file(&source, *restore_config_find("dali2.tar"), &file), BACKUP_SOURCE_OK);
        EXPECT_EQ(std::string(file.begin(), file.end()), "channel");
        EXPECT_EQ(backup_source_read(&source, "dali1.tar", &file), BACKUP_SOURCE_NOT_FOUND);
        EXPECT_EQ(backup_source_read(&source, "sub/", &file), BACKUP_SOURCE_NOT_FOUND);
    }
}

TEST_F(BackupSource, WhatIsNoBackupAndWhatIsTooLarge) {
    write(dir_ / "text.txt", bytes(600, 'x'));
    write(dir_ / "short", bytes(100, 0));
    backup_source source;
    EXPECT_EQ(backup_source_open((dir_ / "absent").c_str(), &source), BACKUP_SOURCE_NOT_FOUND);
    EXPECT_EQ(backup_source_open((dir_ / "text.txt").c_str(), &source), BACKUP_SOURCE_NOT_A_BACKUP);
    EXPECT_EQ(backup_source_open((dir_ / "short").c_str(), &source), BACKUP_SOURCE_NOT_A_BACKUP);

    // A member of a backup folder above the limit is not read (the file is sparse).
    fs::create_directories(dir_ / "big");
    write(dir_ / "big/flashfs.bin", {});
    fs::resize_file(dir_ / "big/flashfs.bin", BACKUP_MEMBER_LIMIT + 1);
    write(dir_ / "big/dali1.tar", set_tar("/etc/config/dali/other.bin", "x"));
    ASSERT_EQ(backup_source_open((dir_ / "big").c_str(), &source), BACKUP_SOURCE_OK);
    bytes data;
    EXPECT_EQ(backup_source_read(&source, "flashfs.bin", &data), BACKUP_SOURCE_TOO_LARGE);
    EXPECT_EQ(backup_source_set_file(&source, *restore_config_find("dali1.tar"), &data), BACKUP_SOURCE_NO_SET_FILE);
}

}  // namespace
