// What the rest of the tool relies on from the platform layer, checked on
// the target it is built for: separators, UTF-8 names on the disk, the
// temporary file with its two renames, and the advisory lock.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "support/support.h"

namespace fs = std::filesystem;

namespace {

const std::string SEP(1, PLATFORM_PATH_SEPARATOR);

TEST(PlatformPath, JoinAndLastSeparator) {
    const struct {
        std::string folder, name, joined;
    } joins[] = {
        {"", "a.zip", "a.zip"},
        {"out", "a.zip", "out" + SEP + "a.zip"},
        {"out/", "a.zip", "out/a.zip"},  // no doubled separator
        {"/", "a.zip", "/a.zip"},
    };
    for (const auto& j : joins) EXPECT_EQ(platform_join_path(j.folder, j.name), j.joined) << j.folder;
    EXPECT_EQ(platform_last_separator("a/b/c"), 3u);
    EXPECT_EQ(platform_last_separator("name"), std::string::npos);
    // User paths on Windows may mix both separators; on POSIX a backslash
    // is an ordinary character of a name.
    EXPECT_EQ(platform_last_separator("C:\\data/backups\\x.zip"), PLATFORM_WINDOWS ? 15u : 7u);
    EXPECT_EQ(platform_join_path("C:\\data\\", "x.zip"), PLATFORM_WINDOWS ? "C:\\data\\x.zip" : "C:\\data\\/x.zip");
}

class Platform : public ::testing::Test {
protected:
    std::string content(const std::string& path) const {
        file_ptr file(platform_fopen(path.c_str(), "rb"));
        std::string text;
        char buffer[256];
        for (std::size_t n; file && (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
        return text;
    }

    scratch_folder scratch;
    const std::string root = platform_fs_text(scratch.path);
};

// A name with characters outside every ANSI code page reaches the disk as
// itself: the folder listing gives it back unchanged.
TEST_F(Platform, Utf8NamesReachTheDisk) {
    const std::string folder = platform_join_path(platform_join_path(root, "dír-ü"), "Загрузки €");
    ASSERT_TRUE(platform_make_folders(folder));
    ASSERT_TRUE(platform_make_folders(folder));  // an existing folder is fine
    const std::string path = platform_join_path(folder, "kanał 1 ✓.csv");
    {
        file_ptr file(platform_fopen(path.c_str(), "wb"));
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fwrite("a;b\n", 1, 4, file.get()), 4u);
    }
    EXPECT_TRUE(platform_path_exists(path.c_str()));
    EXPECT_TRUE(platform_folder_writable(folder.c_str()));
    {
        file_ptr file(platform_fopen(path.c_str(), "rb"));
        ASSERT_TRUE(file);
        EXPECT_EQ(platform_file_size(file.get()), 4);
    }
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(platform_fs_path(folder))) {
        names.push_back(platform_fs_text(entry.path().filename()));
    }
    EXPECT_EQ(names, std::vector<std::string>{"kanał 1 ✓.csv"});
    EXPECT_TRUE(platform_remove_file(path.c_str()));
    EXPECT_FALSE(platform_path_exists(path.c_str()));
    EXPECT_TRUE(platform_remove_file(path.c_str()));  // already gone counts as removed
    EXPECT_FALSE(platform_folder_writable(platform_join_path(root, "missing").c_str()));
}

TEST_F(Platform, TemporaryFilesAndRenames) {
    const std::string target = platform_join_path(root, "backup.zip");
    const std::string prefix = target + ".part";
    std::string first_name, second_name;
    file_ptr first(platform_create_temp_file(prefix, &first_name));
    file_ptr second(platform_create_temp_file(prefix, &second_name));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first_name.substr(0, prefix.size()), prefix);
    EXPECT_EQ(first_name.size(), prefix.size() + 6);
    EXPECT_NE(first_name, second_name);

    ASSERT_EQ(std::fwrite("one", 1, 3, first.get()), 3u);
    EXPECT_TRUE(platform_sync_file(first.get()));
    first.reset();
    ASSERT_EQ(std::fwrite("two", 1, 3, second.get()), 3u);
    EXPECT_TRUE(platform_sync_file(second.get()));
    second.reset();

    EXPECT_EQ(platform_rename_no_replace(first_name.c_str(), target.c_str()), PLATFORM_RENAMED);
    EXPECT_FALSE(platform_path_exists(first_name.c_str()));
    // A taken name is never replaced by the no-replace form...
    EXPECT_EQ(platform_rename_no_replace(second_name.c_str(), target.c_str()), PLATFORM_NAME_TAKEN);
    EXPECT_EQ(content(target), "one");
    EXPECT_TRUE(platform_path_exists(second_name.c_str()));
    // ...and always by the replacing one.
    EXPECT_TRUE(platform_rename_replacing(second_name.c_str(), target.c_str()));
    EXPECT_EQ(content(target), "two");
    EXPECT_FALSE(platform_path_exists(second_name.c_str()));
}

TEST_F(Platform, LockIsExclusiveUntilClosed) {
    const std::string path = platform_join_path(root, "ornat-cli-10.0.0.5.lock");
    const int holder = platform_lock_open(path);
    const int other = platform_lock_open(path);
    ASSERT_GE(holder, 0);
    ASSERT_GE(other, 0);
    EXPECT_EQ(platform_lock_try(holder), PLATFORM_LOCK_TAKEN);
    EXPECT_EQ(platform_lock_try(other), PLATFORM_LOCK_BUSY);
    platform_lock_close(holder);
    EXPECT_EQ(platform_lock_try(other), PLATFORM_LOCK_TAKEN);
    platform_lock_close(other);
}

}  // namespace
