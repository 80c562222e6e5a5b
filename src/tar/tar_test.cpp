#include "tar/tar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "support/support.h"
#include "support/tar_builder.h"

namespace {

std::string pattern(std::size_t n, unsigned seed) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return data;
}

// Members around the record size, an empty one and a long device path.
// clang-format off
const std::vector<tar_entry> SAMPLES = {
    {"status.txt", "{\"mac\":\"00:11:22:33:44:55\"}"}, {"dali1.bin", pattern(1300, 21)},
    {"empty.bin", ""}, {"record.bin", pattern(512, 4)}, {"short.bin", pattern(511, 5)}, {"long.bin", pattern(513, 6)}};

// Writes the members, the data of each in two pieces, and the end records.
void write_members(tar_archive* tar, const std::vector<tar_entry>& members) {
    for (const tar_entry& m : members) {
        const auto size = static_cast<std::uint32_t>(m.data.size());
        EXPECT_EQ(tar_write_file_header(tar, m.name.c_str(), size), TAR_OK);
        EXPECT_EQ(tar_write_data(tar, m.data.data(), size / 2), TAR_OK);
        EXPECT_EQ(tar_write_data(tar, m.data.data() + size / 2, size - size / 2), TAR_OK);
    }
    EXPECT_EQ(tar_finalize(tar), TAR_OK);
}
// clang-format on

// The data of the first member of that name (an empty one read without a
// buffer), or the failing code as text.
std::string read_member(tar_archive* tar, const char* name) {
    tar_header header;
    int rc = tar_find(tar, name, &header);
    std::string data(rc == TAR_OK ? header.size : 0, '\0');
    if (rc == TAR_OK) rc = tar_read_data(tar, header.size != 0 ? data.data() : nullptr, header.size);
    return rc == TAR_OK ? data : "error " + std::to_string(rc);
}

// The members in archive order, as "name size" lines.
std::vector<std::string> list_members(tar_archive* tar) {
    std::vector<std::string> names;
    EXPECT_EQ(tar_rewind(tar), TAR_OK);
    tar_header header;
    while (tar_read_header(tar, &header) == TAR_OK) {
        names.push_back(std::string(header.name) + " " + std::to_string(header.size));
        if (tar_next(tar) != TAR_OK) break;
    }
    return names;
}

TEST(TarWrite, RecordLayout) {
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    write_members(&tar, SAMPLES);
    EXPECT_EQ(out, tar_image(SAMPLES));  // padded after the last piece only
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_file_header(&tar, "m", 2), TAR_OK);
    EXPECT_EQ(tar_write_data(&tar, "abc", 3), TAR_FAILURE);  // more than the header announced
}

// clang-format off
TEST(TarHeader, EveryFieldReadAndWritten) {
    // A 100-byte name without terminator, and a size that fills its field
    // (leading blanks, no NUL) with the mtime digits right behind it, which
    // must not be taken in.
    const std::string name(100, 'n');
    tar_entry entry = {.name = name, .mode = 0755, .owner = 1000, .mtime = 0xFFFFFFFFu, .type = '2',
                       .linkname = "target", .size_field = "    00000012"};
    tar_block_reader reader(tar_header_record(entry));
    tar_header header;
    ASSERT_EQ(tar_read_header(&reader.tar, &header), TAR_OK);
    EXPECT_EQ(std::tuple(header.mode, header.owner, header.size, header.mtime, header.type),
              std::tuple(0755u, 1000u, 10u, 0xFFFFFFFFu, std::uint32_t{'2'}));
    EXPECT_EQ(std::string(header.name) + "|" + header.linkname, name + "|target");
    // Written back in the writer's own layout.
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    entry.size_field = "12";
    EXPECT_EQ(out, tar_header_record(entry));
}
// clang-format on

TEST(TarRead, FindAndReadMembers) {
    const std::string big = pattern(1000, 11);
    tar_block_reader reader(tar_image({{"a", "first"}, {"b", big}, {"a", "second"}, {"empty", ""}}));
    tar_archive* tar = &reader.tar;
    EXPECT_EQ(list_members(tar), (std::vector<std::string>{"a 5", "b 1000", "a 6", "empty 0"}));
    EXPECT_EQ(read_member(tar, "empty"), "");
    // Names match byte for byte: no prefix or case match.
    for (const char* absent : {"c", "A", "", "emp"}) EXPECT_EQ(tar_find(tar, absent, nullptr), TAR_NOT_FOUND) << absent;
    // Read in pieces. A find drops what was left of the member before; after
    // the last byte a read starts over at the header, and may not pass the
    // member's end into the next header.
    std::string data(1001, '\0');
    ASSERT_EQ(tar_find(tar, "b", nullptr), TAR_OK);
    ASSERT_EQ(tar_read_data(tar, data.data(), 3), TAR_OK);
    EXPECT_EQ(read_member(tar, "a"), "first");  // the first of two
    ASSERT_EQ(tar_find(tar, "b", nullptr), TAR_OK);
    ASSERT_EQ(tar_read_data(tar, data.data(), 3), TAR_OK);
    ASSERT_EQ(tar_read_data(tar, data.data() + 3, 997), TAR_OK);
    EXPECT_EQ(data.substr(0, 1000), big);
    EXPECT_EQ(tar_read_data(tar, data.data(), 1001), TAR_FAILURE);
}

TEST(TarRead, DamagedAndCutArchives) {
    // "a": header at 0, data at 512..1111; "b": header at 1536, data at 2048;
    // the end records start at 2560.
    const std::string a = pattern(600, 5);
    const std::vector<tar_entry> members = {{"a", a}, {"b", "bee"}};
    const std::string fail = "error " + std::to_string(TAR_FAILURE);
    const std::string bad = "error " + std::to_string(TAR_BAD_CHECKSUM);
    const struct {
        const char* what;
        bytes data;
        int header;        // tar_read_header at the start
        std::string read;  // read_member of "a"
        int absent;        // tar_find of a name the tar does not hold: the whole walk
    } cases[] = {
        {"whole", tar_image(members), TAR_OK, a, TAR_NOT_FOUND},
        {"one end record", tar_image(members, {.end_records = 1}), TAR_OK, a, TAR_NOT_FOUND},
        {"no end record", tar_image(members, {.end_records = 0}), TAR_OK, a, TAR_FAILURE},
        {"empty archive", tar_image({}), TAR_NULL_RECORD, "error " + std::to_string(TAR_NOT_FOUND), TAR_NOT_FOUND},
        {"no bytes", {}, TAR_FAILURE, fail, TAR_FAILURE},
        {"cut in the first header", tar_image(members, {.length = 511}), TAR_FAILURE, fail, TAR_FAILURE},
        {"first header only", tar_image(members, {.length = 512}), TAR_OK, fail, TAR_FAILURE},
        {"cut in the data", tar_image(members, {.length = 1111}), TAR_OK, fail, TAR_FAILURE},
        {"cut after the data", tar_image(members, {.length = 1112}), TAR_OK, a, TAR_FAILURE},
        {"first checksum wrong", tar_image({{.name = "a", .data = a, .bad_checksum = true}, {"b", "bee"}}),
         TAR_BAD_CHECKSUM, bad, TAR_BAD_CHECKSUM},
        {"second checksum wrong", tar_image({{"a", a}, {.name = "b", .data = "bee", .bad_checksum = true}}), TAR_OK, a,
         TAR_BAD_CHECKSUM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tar_block_reader reader(c.data);
        tar_header header;
        EXPECT_EQ(tar_read_header(&reader.tar, &header), c.header);
        EXPECT_EQ(read_member(&reader.tar, "a"), c.read);
        EXPECT_EQ(tar_find(&reader.tar, "c", nullptr), c.absent);
    }
}

TEST(TarRead, SizesNearFourGigabytesFailCleanly) {
    // 37777777777 is the largest 32-bit size; 40000000000 does not fit and
    // saturates instead of wrapping to 0. No size may wrap the position
    // around to an earlier header.
    for (const char* size : {"37777777777", "40000000000", "37777777000"}) {
        SCOPED_TRACE(size);
        tar_block_reader reader(tar_image({{"first", "data"}, {.name = "huge", .size_field = size}}));
        tar_header header;
        ASSERT_EQ(tar_next(&reader.tar), TAR_OK);
        ASSERT_EQ(tar_read_header(&reader.tar, &header), TAR_OK);
        EXPECT_GE(header.size, 0xFFFFFE00u);
        EXPECT_EQ(tar_next(&reader.tar), TAR_FAILURE);
        EXPECT_EQ(tar_find(&reader.tar, "absent", nullptr), TAR_FAILURE);
        // The first bytes lie inside the block; the rest of the claimed size
        // passes both the block and the 32-bit position.
        ASSERT_EQ(tar_find(&reader.tar, "huge", nullptr), TAR_OK);
        std::string buffer(16, '\0');
        EXPECT_EQ(tar_read_data(&reader.tar, buffer.data(), 16), TAR_OK);
        EXPECT_EQ(tar_read_data(&reader.tar, buffer.data(), header.size - 16), TAR_FAILURE);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary directory with the samples as files in "in" and as our
// archive "ours.tar", written through the file stream.
class TarFile : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(file("in")));
        for (const tar_entry& m : SAMPLES) {
            write_file("in/" + m.name, m.data);
            names_ += " " + m.name;
        }
        tar_archive tar;
        ASSERT_EQ(tar_open(&tar, file("ours.tar").c_str(), "w"), TAR_OK);
        write_members(&tar, SAMPLES);
        ASSERT_EQ(tar_close(&tar), TAR_OK);
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    void write_file(const std::string& name, const std::string& data) const { std::ofstream(file(name)) << data; }
    // Runs a shell command in the directory.
    int run(const std::string& command) const { return std::system(("cd '" + dir_ + "' && " + command).c_str()); }

    // Reads an archive of the samples through the file stream.
    void expect_samples(const std::string& name) {
        std::vector<std::string> listed;
        for (const tar_entry& m : SAMPLES) listed.push_back(m.name + " " + std::to_string(m.data.size()));
        tar_archive tar;
        ASSERT_EQ(tar_open(&tar, file(name).c_str(), "r"), TAR_OK);
        EXPECT_EQ(list_members(&tar), listed);
        for (const tar_entry& m : SAMPLES) EXPECT_EQ(read_member(&tar, m.name.c_str()), m.data) << m.name;
        tar_close(&tar);
    }

    scratch_folder scratch_;
    const std::string dir_ = scratch_.path.string();
    std::string names_;  // the sample names, each after a space
};

TEST_F(TarFile, FileStream) {
    EXPECT_EQ(to_bytes(read_file(file("ours.tar"))), tar_image(SAMPLES));
    // Opening for reading reads the first header. A missing or short file
    // is the end-to-end test's (put_backup of an unreadable input).
    write_file("empty.tar", std::string(1024, '\0'));
    tar_archive tar;
    EXPECT_EQ(tar_open(&tar, file("empty.tar").c_str(), "r"), TAR_NULL_RECORD);
}

TEST_F(TarFile, GnuTarBothWays) {
    if (run("command -v tar >/dev/null") != 0) GTEST_SKIP() << "tar is not installed";
    for (const std::string format : {"ustar", "gnu", "v7"}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(run("tar --format=" + format + " -C in -cf " + format + ".tar" + names_), 0);
        expect_samples(format + ".tar");
    }
    // Ours extracts to the sample files, without checksum or lone-zero-block
    // complaints, and lists as regular files of mode 0664 and owner 0.
    ASSERT_EQ(run("mkdir out && tar -C out -xf ours.tar 2>err.txt && diff -r in out"), 0);
    EXPECT_EQ(read_file(file("err.txt")), "");
    ASSERT_EQ(run("tar -tvf ours.tar --numeric-owner | cut -c1-14 | sort -u >list.txt"), 0);
    EXPECT_EQ(read_file(file("list.txt")), "-rw-rw-r-- 0/0\n");
}

}  // namespace
