// Outputs replace their final name only when every byte was written.
#include "common/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/support.h"

namespace fs = std::filesystem;

namespace {

class OutputFile : public ::testing::Test {
protected:
    void SetUp() override { std::ofstream(target) << "earlier"; }

    std::string content() const {
        std::ifstream in(target, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t files() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {})); }

    scratch_folder scratch;
    const fs::path dir = scratch.path;
    const std::string target = (dir / "image.bin").string();
};

TEST_F(OutputFile, OnlyACommitReplacesTheEarlierFile) {
    {
        output_file out;
        ASSERT_TRUE(output_file_open(&out, target));
        ASSERT_TRUE(output_file_write(&out, "partial", 7));
    }  // never committed: the temporary file goes, the earlier one stays
    EXPECT_EQ(content(), "earlier");
    EXPECT_EQ(files(), 1u);
    output_file out;
    ASSERT_TRUE(output_file_open(&out, target));
    ASSERT_TRUE(output_file_write(&out, "new bytes", 9));
    EXPECT_EQ(content(), "earlier");
    ASSERT_TRUE(output_file_commit(&out));
    EXPECT_EQ(content(), "new bytes");
    EXPECT_EQ(files(), 1u);
}

TEST_F(OutputFile, FailedOpenOrCommitKeepsTheEarlierFile) {
    output_file nowhere;
    EXPECT_FALSE(output_file_open(&nowhere, (dir / "no" / "such" / "file").string()));
    EXPECT_FALSE(output_file_commit(&nowhere));
    // The final name is a folder now: the rename fails.
    fs::remove(target);
    fs::create_directories(fs::path(target) / "inside");
    output_file out;
    ASSERT_TRUE(output_file_open(&out, target));
    ASSERT_TRUE(output_file_write(&out, "x", 1));
    EXPECT_FALSE(output_file_commit(&out));
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(files(), 1u);
}

}  // namespace
