#include "mzsimple/mzsimple.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "support/support.h"

namespace fs = std::filesystem;

namespace {

using members = std::vector<std::pair<std::string, bytes>>;

bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    bytes v(n);
    for (auto& b : v) b = static_cast<unsigned char>(gen());
    return v;
}

// Every member of an archive in index order; a member that yields no data
// (a directory, a failed extraction) is named with " (no data)" behind it.
members read_all(const fs::path& path) {
    members list;
    mzsimple_ptr zip = mzsimple_open(path.c_str(), 0, 'r');
    for (std::int64_t i = 0; zip && mzsimple_entry_open_index(zip.get(), i) == 0; ++i) {
        bytes data;
        const std::int64_t n = mzsimple_entry_read(zip.get(), &data);
        const bool read = n >= 0 && n == static_cast<std::int64_t>(data.size());
        list.push_back({mzsimple_entry_name(zip.get()) + (read ? "" : " (no data)"), data});
    }
    return list;
}

class Mzsimple : public ::testing::Test {
protected:
    // Writes each member in two pieces: members grow across writes.
    void write_archive(const fs::path& path, int level, const members& list) {
        mzsimple_ptr zip = mzsimple_open(path.c_str(), level, 'w');
        ASSERT_NE(zip, nullptr);
        for (const auto& [name, data] : list) {
            ASSERT_EQ(mzsimple_entry_open(zip.get(), name.c_str()), 0);
            std::size_t half = data.size() / 2;
            ASSERT_EQ(mzsimple_entry_write(zip.get(), data.data(), half), 0);
            ASSERT_EQ(mzsimple_entry_write(zip.get(), data.data() + half, data.size() - half), 0);
            ASSERT_EQ(mzsimple_entry_close(zip.get()), 0);
        }
        EXPECT_FALSE(fs::exists(path));  // nothing under the final name before the close
        ASSERT_EQ(mzsimple_close(std::move(zip)), 0);
    }

    // Runs a shell command in the directory, when the tool is installed.
    bool run(const char* tool, const std::string& command) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) return false;
        EXPECT_EQ(std::system(("cd '" + dir.string() + "' && " + command).c_str()), 0) << command;
        return true;
    }

    scratch_folder scratch;
    const fs::path dir = scratch.path;
};

TEST_F(Mzsimple, RoundTripKeepsOrderNamesAndBytes) {
    const members list = {{"tool.txt", to_bytes("{\"tool_name\": \"ornat-cli\"}\n")},
                          {"flashfs.bin", random_bytes(300000, 1)},
                          {"empty.tar", {}},
                          {"sub\\dir\\file.bin", to_bytes("backslashes become slashes")}};
    write_archive(dir / "round.zip", 6, list);  // the level get_backup writes with
    members expected = list;
    expected[3].first = "sub/dir/file.bin";
    EXPECT_EQ(read_all(dir / "round.zip"), expected);
}

// A tool record found as TOOL.TXT is the end-to-end test's; here the case
// of letters beyond ASCII, and no prefix match.
TEST_F(Mzsimple, LookupIgnoresTheCaseOfAsciiLettersOnly) {
    write_archive(dir / "case.zip", 6, {{"TOOL.TXT", to_bytes("x")}, {"\xc3\x89t\xc3\xa9.txt", to_bytes("y")}});
    mzsimple_ptr zip = mzsimple_open((dir / "case.zip").c_str(), 0, 'r');
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "\xc3\x89T\xc3\xa9.TXT"), 0);
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "\xc3\xa9t\xc3\xa9.txt"), -1);  // É and é differ beyond ASCII
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "tool.tx"), -1);
}

TEST_F(Mzsimple, OpenAndCommitFailures) {
    EXPECT_EQ(mzsimple_open((dir / "no/such/folder/x.zip").c_str(), 6, 'w'), nullptr);
    // A commit that fails reports it and leaves no archive.
    fs::create_directories(dir / "gone");
    mzsimple_ptr doomed = mzsimple_open((dir / "gone/x.zip").c_str(), 6, 'w');
    ASSERT_NE(doomed, nullptr);
    mzsimple_entry_open(doomed.get(), "a");
    mzsimple_entry_write(doomed.get(), "abc", 3);
    fs::remove_all(dir / "gone");
    EXPECT_EQ(mzsimple_close(std::move(doomed)), -1);
}

// Archives of Python's zipfile are read by every end-to-end restore.
TEST_F(Mzsimple, ReadsArchivesOfOtherWriters) {
    std::ofstream(dir / "a.txt") << "alpha";
    fs::create_directories(dir / "folder");
    std::ofstream(dir / "folder/b.txt") << "beta";
    if (run("zip", "zip -qr info.zip a.txt folder")) {
        EXPECT_EQ(
            read_all(dir / "info.zip"),
            (members{{"a.txt", to_bytes("alpha")}, {"folder/ (no data)", {}}, {"folder/b.txt", to_bytes("beta")}}));
    }
}

TEST_F(Mzsimple, CorruptMemberFailsToRead) {
    write_archive(dir / "corrupt.zip", 0, {{"a.bin", bytes(20000, 'A')}});
    // Flip a byte of the stored data: the CRC-32 check must catch it.
    std::fstream(dir / "corrupt.zip", std::ios::in | std::ios::out | std::ios::binary).seekp(30 + 5 + 100).put('B');
    EXPECT_EQ(read_all(dir / "corrupt.zip"), (members{{"a.bin (no data)", {}}}));
}

}  // namespace
