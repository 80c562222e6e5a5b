#include "mzsimple/mzsimple.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

class Mzsimple : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ornat-zip-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

    static std::vector<unsigned char> random_bytes(std::size_t n, unsigned seed) {
        std::mt19937 gen(seed);
        std::vector<unsigned char> v(n);
        for (auto& b : v) b = static_cast<unsigned char>(gen());
        return v;
    }

    void write_archive(const fs::path& path, int level,
                       const std::vector<std::pair<std::string, std::vector<unsigned char>>>& members) {
        mzsimple_ptr zip = mzsimple_open(path.c_str(), level, 'w');
        ASSERT_NE(zip, nullptr);
        for (const auto& [name, data] : members) {
            ASSERT_EQ(mzsimple_entry_open(zip.get(), name.c_str()), 0);
            // Written in two pieces: members grow across writes.
            std::size_t half = data.size() / 2;
            ASSERT_EQ(mzsimple_entry_write(zip.get(), data.data(), half), 0);
            ASSERT_EQ(mzsimple_entry_write(zip.get(), data.data() + half, data.size() - half), 0);
            ASSERT_EQ(mzsimple_entry_close(zip.get()), 0);
        }
        ASSERT_EQ(mzsimple_close(std::move(zip)), 0);
    }

    static bool have(const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    }

    fs::path dir;
};

TEST_F(Mzsimple, RoundTripKeepsOrderNamesAndBytes) {
    const std::vector<std::pair<std::string, std::vector<unsigned char>>> members = {
        {"tool.txt", bytes("{\"tool_name\": \"ornat-cli\"}\n")},
        {"flashfs.bin", random_bytes(300000, 1)},
        {"empty.tar", {}},
        {"sub\\dir\\file.bin", bytes("backslashes become slashes")},
    };
    for (int level : {6, 0}) {
        fs::path path = dir / ("round" + std::to_string(level) + ".zip");
        write_archive(path, level, members);
        mzsimple_ptr zip = mzsimple_open(path.c_str(), 0, 'r');
        ASSERT_NE(zip, nullptr);
        ASSERT_EQ(mzsimple_entry_count(zip.get()), 4);
        for (std::int64_t i = 0; i < 4; ++i) {
            ASSERT_EQ(mzsimple_entry_open_index(zip.get(), i), 0);
            std::string expected_name = members[static_cast<std::size_t>(i)].first;
            std::replace(expected_name.begin(), expected_name.end(), '\\', '/');
            EXPECT_EQ(mzsimple_entry_name(zip.get()), expected_name);
            EXPECT_EQ(mzsimple_entry_is_dir(zip.get()), 0);
            std::vector<unsigned char> data;
            std::int64_t n = mzsimple_entry_read(zip.get(), &data);
            EXPECT_EQ(n, static_cast<std::int64_t>(data.size()));
            EXPECT_EQ(data, members[static_cast<std::size_t>(i)].second);
            mzsimple_entry_close(zip.get());
        }
        EXPECT_EQ(mzsimple_entry_open_index(zip.get(), 4), -1);
        EXPECT_EQ(mzsimple_entry_open_index(zip.get(), -1), -1);
        mzsimple_close(std::move(zip));
    }
}

TEST_F(Mzsimple, LookupIgnoresTheCaseOfAsciiLettersOnly) {
    fs::path path = dir / "case.zip";
    write_archive(path, 6, {{"TOOL.TXT", bytes("x")}, {"\xc3\x89t\xc3\xa9.txt", bytes("y")}});
    mzsimple_ptr zip = mzsimple_open(path.c_str(), 0, 'r');
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "tool.txt"), 0);
    EXPECT_EQ(mzsimple_entry_name(zip.get()), "TOOL.TXT");
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "\xc3\x89T\xc3\xa9.TXT"), 0);
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "\xc3\xa9t\xc3\xa9.txt"), -1);  // É and é differ beyond ASCII
    EXPECT_EQ(mzsimple_entry_open(zip.get(), "missing"), -1);
    EXPECT_EQ(mzsimple_entry_is_dir(zip.get()), -1);  // nothing selected
    EXPECT_EQ(mzsimple_entry_open(zip.get(), ""), -1);
}

TEST_F(Mzsimple, OpenArguments) {
    EXPECT_EQ(mzsimple_open(nullptr, 6, 'w'), nullptr);
    EXPECT_EQ(mzsimple_open("", 6, 'w'), nullptr);
    EXPECT_EQ(mzsimple_open((dir / "x.zip").c_str(), 11, 'w'), nullptr);
    EXPECT_EQ(mzsimple_open((dir / "missing.zip").c_str(), 0, 'r'), nullptr);
    EXPECT_EQ(mzsimple_open((dir / "no/such/folder/x.zip").c_str(), 6, 'w'), nullptr);
    std::ofstream(dir / "not.zip") << "this is not a zip archive";
    EXPECT_EQ(mzsimple_open((dir / "not.zip").c_str(), 0, 'r'), nullptr);
    mzsimple_ptr negative = mzsimple_open((dir / "neg.zip").c_str(), -1, 'w');
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(negative->level, 6);
}

TEST_F(Mzsimple, NothingUnderTheFinalNameBeforeClose) {
    fs::path path = dir / "pending.zip";
    mzsimple_ptr zip = mzsimple_open(path.c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzsimple_entry_open(zip.get(), "a.bin"), 0);
    std::vector<unsigned char> data = random_bytes(1000, 3);
    ASSERT_EQ(mzsimple_entry_write(zip.get(), data.data(), data.size()), 0);
    ASSERT_EQ(mzsimple_entry_close(zip.get()), 0);
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(mzsimple_close(std::move(zip)), 0);
    EXPECT_TRUE(fs::exists(path));
    // A failed commit reports failure and leaves no archive either.
    fs::path gone = dir / "gone";
    fs::create_directories(gone);
    mzsimple_ptr doomed = mzsimple_open((gone / "x.zip").c_str(), 6, 'w');
    ASSERT_NE(doomed, nullptr);
    mzsimple_entry_open(doomed.get(), "a");
    mzsimple_entry_write(doomed.get(), "abc", 3);
    mzsimple_entry_close(doomed.get());
    fs::remove_all(gone);
    EXPECT_EQ(mzsimple_close(std::move(doomed)), -1);
}

TEST_F(Mzsimple, ArchivesPassUnzipTest) {
    if (!have("unzip")) GTEST_SKIP() << "unzip not installed";
    fs::path path = dir / "checked.zip";
    write_archive(path, 6, {{"tool.txt", bytes("record")}, {"flashfs.bin", random_bytes(100000, 2)}});
    std::string command = "unzip -tq '" + path.string() + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(Mzsimple, ReadsArchivesOfOtherWriters) {
    std::ofstream(dir / "a.txt") << "alpha";
    fs::create_directories(dir / "folder");
    std::ofstream(dir / "folder/b.txt") << "beta";
    if (have("zip")) {
        std::string command = "cd '" + dir.string() + "' && zip -qr info.zip a.txt folder";
        ASSERT_EQ(std::system(command.c_str()), 0);
        mzsimple_ptr zip = mzsimple_open((dir / "info.zip").c_str(), 0, 'r');
        ASSERT_NE(zip, nullptr);
        ASSERT_EQ(mzsimple_entry_open(zip.get(), "FOLDER/"), 0);
        EXPECT_EQ(mzsimple_entry_is_dir(zip.get()), 1);
        std::vector<unsigned char> data;
        EXPECT_EQ(mzsimple_entry_read(zip.get(), &data), -1);  // a directory yields no data
        ASSERT_EQ(mzsimple_entry_open(zip.get(), "folder/b.txt"), 0);
        EXPECT_EQ(mzsimple_entry_read(zip.get(), &data), 4);
        EXPECT_EQ(data, bytes("beta"));
    }
    if (have("python3")) {
        // Python's zipfile: a directory marked only by the DOS attribute bit,
        // and a deflated member.
        std::string script =
            "import zipfile\n"
            "with zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
            "    z.writestr('a.txt', 'alpha' * 1000)\n"
            "    info = zipfile.ZipInfo('dirlike')\n"
            "    info.external_attr = 0x10\n"
            "    z.writestr(info, '')\n";
        std::ofstream(dir / "make.py") << script;
        std::string command = "cd '" + dir.string() + "' && python3 make.py";
        ASSERT_EQ(std::system(command.c_str()), 0);
        mzsimple_ptr zip = mzsimple_open((dir / "py.zip").c_str(), 0, 'r');
        ASSERT_NE(zip, nullptr);
        ASSERT_EQ(mzsimple_entry_open(zip.get(), "A.TXT"), 0);
        std::vector<unsigned char> data;
        EXPECT_EQ(mzsimple_entry_read(zip.get(), &data), 5000);
        ASSERT_EQ(mzsimple_entry_open(zip.get(), "dirlike"), 0);
        EXPECT_EQ(mzsimple_entry_is_dir(zip.get()), 1);
    }
}

TEST_F(Mzsimple, CorruptMemberFailsToRead) {
    fs::path path = dir / "corrupt.zip";
    std::vector<unsigned char> data(20000, 'A');
    write_archive(path, 0, {{"a.bin", data}});
    // Flip a byte of the stored data: the CRC-32 check must catch it.
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(30 + 5 + 100);
    f.put('B');
    f.close();
    mzsimple_ptr zip = mzsimple_open(path.c_str(), 0, 'r');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzsimple_entry_open(zip.get(), "a.bin"), 0);
    std::vector<unsigned char> out;
    EXPECT_EQ(mzsimple_entry_read(zip.get(), &out), -1);
    EXPECT_TRUE(out.empty());
}

}  // namespace
