#include "tar/tar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

struct member {
    std::string name;
    std::string data;
};

bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

// Writes the members and the end records through an open archive.
void write_members(tar_archive* tar, const std::vector<member>& members)
{
    for (const member& m : members) {
        const auto size = static_cast<std::uint32_t>(m.data.size());
        EXPECT_EQ(tar_write_file_header(tar, m.name.c_str(), size), TAR_OK);
        EXPECT_EQ(tar_write_data(tar, m.data.data(), size), TAR_OK);
    }
    EXPECT_EQ(tar_finalize(tar), TAR_OK);
}

bytes write_tar(const std::vector<member>& members)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    write_members(&tar, members);
    return out;
}

// A memory reader over its own exact-size copy of the bytes, so that the
// address sanitizer sees any read past the end of the block.
struct mem_reader {
    std::unique_ptr<unsigned char[]> copy;
    tar_mem_block block;
    tar_archive tar;

    explicit mem_reader(const bytes& data) : copy(std::make_unique<unsigned char[]>(data.size() + 1))
    {
        if (!data.empty()) {
            std::memcpy(copy.get(), data.data(), data.size());
        }
        block.data = copy.get();
        block.size = data.size();
        tar_mem_open_read(&tar, &block);
    }
};

std::string read_member(tar_archive* tar, const char* name)
{
    tar_header header;
    if (tar_find(tar, name, &header) != TAR_OK) {
        return "<missing>";
    }
    std::string data(header.size, '\0');
    char empty = 0;
    if (tar_read_data(tar, header.size != 0 ? data.data() : &empty, header.size) != TAR_OK) {
        return "<unreadable>";
    }
    return data;
}

// The members in archive order, as "name size" lines.
std::vector<std::string> list_members(tar_archive* tar)
{
    std::vector<std::string> names;
    EXPECT_EQ(tar_rewind(tar), TAR_OK);
    tar_header header;
    while (tar_read_header(tar, &header) == TAR_OK) {
        names.push_back(std::string(header.name) + " " + std::to_string(header.size));
        if (tar_next(tar) != TAR_OK) {
            break;
        }
    }
    return names;
}

// A header record with raw field texts and a correct checksum, for layouts
// the writer never produces (full-width fields, huge sizes).
bytes raw_header(const char* name, const char* size_field, std::size_t size_length, const char* mtime_field)
{
    bytes rec(TAR_RECORD_SIZE, 0);
    std::memcpy(&rec[0], name, std::strlen(name));          // name, offset 0
    std::memcpy(&rec[100], "0000644", 8);                  // mode, offset 100
    std::memcpy(&rec[124], size_field, size_length);       // size, offset 124, 12 bytes
    std::memcpy(&rec[136], mtime_field, std::strlen(mtime_field));  // mtime, offset 136
    rec[156] = '0';                                         // type, offset 156
    unsigned sum = 256;
    for (std::size_t i = 0; i < TAR_RECORD_SIZE; ++i) {
        sum += (i < 148 || i >= 156) ? rec[i] : 0;
    }
    std::snprintf(reinterpret_cast<char*>(&rec[148]), 8, "%06o", sum);  // checksum, offset 148
    rec[155] = ' ';
    return rec;
}

std::string pattern(std::size_t n, unsigned seed)
{
    std::string data(n, '\0');
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return data;
}

TEST(TarHeader, WrittenBytes)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    tar_header header;
    header.mode = 0664;
    header.size = 10;
    header.type = '0';
    std::strcpy(header.name, "status.txt");
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    EXPECT_EQ(tar.pos, 512u);
    EXPECT_EQ(tar.remaining_data, 10u);
    bytes expected(512, 0);
    std::memcpy(&expected[0], "status.txt", 10);    // name, offset 0
    std::memcpy(&expected[100], "664", 3);          // mode, offset 100, "%o"
    std::memcpy(&expected[108], "0", 1);            // owner, offset 108
    std::memcpy(&expected[124], "12", 2);           // size, offset 124: 10 in octal
    std::memcpy(&expected[136], "0", 1);            // mtime, offset 136
    std::memcpy(&expected[148], "003305\0 ", 8);    // checksum 1733: six digits, NUL, space
    expected[156] = '0';                            // type, offset 156
    EXPECT_EQ(out, expected);

    // A file header has mode 664; type 0 is written as '0', others as given.
    out.clear();
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_file_header(&tar, "a", 0), TAR_OK);
    header = tar_header{};
    std::strcpy(header.name, "d");
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    header.type = '5';
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    ASSERT_EQ(out.size(), 3 * 512u);
    EXPECT_EQ(std::string() + char(out[156]) + char(out[512 + 156]) + char(out[1024 + 156]), "005");
    EXPECT_STREQ(reinterpret_cast<const char*>(&out[100]), "664");
}

TEST(TarHeader, ReadBackEveryField)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    tar_header header;
    header.mode = 0755;
    header.owner = 1000;
    header.mtime = 0xFFFFFFFFu;
    header.type = '2';
    std::strcpy(header.name, "/etc/config/dali/dali1.bin");
    std::strcpy(header.linkname, "target");
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    mem_reader reader(out);
    header = tar_header{};
    ASSERT_EQ(tar_read_header(&reader.tar, &header), TAR_OK);
    EXPECT_EQ(header.mode, 0755u);
    EXPECT_EQ(header.owner, 1000u);
    EXPECT_EQ(header.size, 0u);
    EXPECT_EQ(header.mtime, 0xFFFFFFFFu);
    EXPECT_EQ(header.type, static_cast<std::uint32_t>('2'));
    EXPECT_STREQ(header.name, "/etc/config/dali/dali1.bin");
    EXPECT_STREQ(header.linkname, "target");

    // A 100-byte name without terminator, a 12-digit size without NUL, and
    // digits right behind it in the mtime field that must not be taken in.
    const std::string name(100, 'n');
    mem_reader full(raw_header(name.c_str(), "000000000012", 12, "1234"));
    ASSERT_EQ(tar_read_header(&full.tar, &header), TAR_OK);
    EXPECT_EQ(header.size, 10u);
    EXPECT_EQ(header.mtime, 01234u);
    EXPECT_EQ(std::string(header.name), name);
}

TEST(TarLayout, MemberSizesRoundToRecords)
{
    const struct {
        std::size_t data;
        std::size_t member;  // header plus data padded to whole records
    } cases[] = {{0, 512}, {1, 1024}, {511, 1024}, {512, 1024}, {513, 1536}, {1024, 1536}};
    for (const auto& c : cases) {
        bytes out;
        tar_archive tar;
        tar_mem_open_write(&tar, &out);
        const std::string data = pattern(c.data, 7);
        ASSERT_EQ(tar_write_file_header(&tar, "m", static_cast<std::uint32_t>(c.data)), TAR_OK);
        ASSERT_EQ(tar_write_data(&tar, data.data(), static_cast<std::uint32_t>(c.data)), TAR_OK);
        EXPECT_EQ(out.size(), c.member) << c.data << " data bytes";
        EXPECT_EQ(tar.pos, c.member);
        EXPECT_EQ(bytes(out.begin() + 512 + static_cast<std::ptrdiff_t>(c.data), out.end()),
                  bytes(c.member - 512 - c.data, 0));  // NUL padding
        ASSERT_EQ(tar_finalize(&tar), TAR_OK);
        EXPECT_EQ(out.size(), c.member + 1024);
    }

    // Data written in pieces is padded after the last piece only.
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_file_header(&tar, "m", 700), TAR_OK);
    const std::string data = pattern(700, 3);
    ASSERT_EQ(tar_write_data(&tar, data.data(), 300), TAR_OK);
    EXPECT_EQ(out.size(), 812u);
    ASSERT_EQ(tar_write_data(&tar, data.data() + 300, 400), TAR_OK);
    EXPECT_EQ(out.size(), 1536u);
    EXPECT_EQ(tar_write_data(&tar, "x", 1), TAR_FAILURE);  // more than the header announced
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);
    mem_reader reader(out);
    EXPECT_EQ(read_member(&reader.tar, "m"), data);
}

TEST(TarRead, FindReturnsTheFirstOfDuplicates)
{
    mem_reader reader(write_tar({{"a", "first"}, {"b", "bee"}, {"a", "second"}}));
    tar_header header;
    ASSERT_EQ(tar_find(&reader.tar, "a", &header), TAR_OK);
    EXPECT_EQ(reader.tar.pos, 0u);
    EXPECT_EQ(header.size, 5u);
    EXPECT_EQ(read_member(&reader.tar, "a"), "first");
    EXPECT_EQ(read_member(&reader.tar, "b"), "bee");
    for (const char* absent : {"c", "A", ""}) {  // byte for byte: no prefix or case match
        EXPECT_EQ(tar_find(&reader.tar, absent, nullptr), TAR_NOT_FOUND) << absent;
    }
    EXPECT_EQ((std::vector<std::string>{"a 5", "b 3", "a 6"}), list_members(&reader.tar));
}

TEST(TarRead, PositionFollowsHeadersAndData)
{
    const std::string big = pattern(1000, 11);
    mem_reader reader(write_tar({{"one", "1"}, {"two", big}, {"three", ""}}));
    tar_archive* tar = &reader.tar;
    ASSERT_EQ(tar_find(tar, "two", nullptr), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u);
    EXPECT_EQ(tar->last_header, 1024u);

    // Read in pieces, the position walks through the data and returns to
    // the member's header after the last byte.
    std::string data(1000, '\0');
    ASSERT_EQ(tar_read_data(tar, data.data(), 3), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u + 512 + 3);
    EXPECT_EQ(tar->remaining_data, 997u);
    ASSERT_EQ(tar_read_data(tar, data.data() + 3, 997), TAR_OK);
    EXPECT_EQ(data, big);
    EXPECT_EQ(tar->pos, 1024u);
    EXPECT_EQ(tar->remaining_data, 0u);
    ASSERT_EQ(tar_read_data(tar, data.data(), 1001), TAR_FAILURE);  // more than the member holds

    ASSERT_EQ(tar_rewind(tar), TAR_OK);
    EXPECT_EQ(tar->remaining_data, 0u);
    for (std::uint32_t pos : {1024u, 1024u + 512 + 1024, 1024u + 512 + 1024 + 512}) {  // "three" has no data
        ASSERT_EQ(tar_next(tar), TAR_OK);
        EXPECT_EQ(tar->pos, pos);
    }
    EXPECT_EQ(tar_next(tar), TAR_NULL_RECORD);
    ASSERT_EQ(tar_find(tar, "three", nullptr), TAR_OK);
    EXPECT_EQ(tar_read_data(tar, nullptr, 0), TAR_OK);  // an empty member needs no buffer
    EXPECT_EQ(tar->pos, 2560u);
}

TEST(TarRead, TruncatedBlocksFailWithoutReadingPastTheEnd)
{
    const std::string data = pattern(600, 5);
    const bytes out = write_tar({{"m", data}});
    const struct {
        std::size_t length;
        int header;  // tar_read_header at 0
        int next;    // tar_next, then tar_read_header there
        int read;    // tar_read_data of the whole member
    } cases[] = {
        {0, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},     {100, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},
        {511, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},   {512, TAR_OK, TAR_FAILURE, TAR_FAILURE},
        {1111, TAR_OK, TAR_FAILURE, TAR_FAILURE},       {1112, TAR_OK, TAR_FAILURE, TAR_OK},
        {1536, TAR_OK, TAR_FAILURE, TAR_OK},            {2047, TAR_OK, TAR_FAILURE, TAR_OK},
        {2048, TAR_OK, TAR_NULL_RECORD, TAR_OK},  // one end record already ends the walk
        {2560, TAR_OK, TAR_NULL_RECORD, TAR_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        mem_reader reader(bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.length)));
        tar_header header;
        EXPECT_EQ(tar_read_header(&reader.tar, &header), c.header);
        if (c.header == TAR_OK) {
            EXPECT_EQ(tar_next(&reader.tar), TAR_OK);  // the memory seek moves nothing
            EXPECT_EQ(tar_read_header(&reader.tar, &header), c.next);
        }
        ASSERT_EQ(tar_rewind(&reader.tar), TAR_OK);
        std::string got(600, '\0');
        EXPECT_EQ(tar_read_data(&reader.tar, got.data(), 600), c.read);
        if (c.read == TAR_OK) {
            EXPECT_EQ(got, data);
        }
    }
}

TEST(TarRead, MissingBlockOrBufferFails)
{
    tar_archive tar;
    tar_mem_open_read(&tar, nullptr);
    tar_header header;
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_mem_seek(&tar, 0), TAR_FAILURE);
    EXPECT_EQ(tar_mem_close(&tar), TAR_FAILURE);
    tar_mem_block empty;
    tar_mem_open_read(&tar, &empty);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_rewind(&tar), TAR_FAILURE);
    mem_reader reader(write_tar({{"m", "x"}}));
    EXPECT_EQ(tar_mem_read(&reader.tar, nullptr, 1), TAR_FAILURE);
    EXPECT_EQ(tar_read_header(nullptr, &header), TAR_FAILURE);
    EXPECT_EQ(tar_find(&reader.tar, nullptr, &header), TAR_FAILURE);
    EXPECT_EQ(tar_close(&reader.tar), TAR_OK);
}

TEST(TarRead, NullRecordBadChecksumAndHtml)
{
    bytes damaged = write_tar({{"status.txt", "{}"}, {"other", "o"}});
    damaged[0] = 'S';
    std::string page = "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n<body>";
    while (page.size() < 700) {
        page += "<p>The requested configuration was not found on this server.</p>\n";
    }
    const struct {
        const char* what;
        bytes data;
        int header;        // tar_read_header at 0
        std::uint32_t pos;  // the position after it: a decoded header leaves it at 0
        int next;          // tar_next from there
        int find;          // tar_find of "other"
    } cases[] = {
        {"empty archive", bytes(1024, 0), TAR_NULL_RECORD, 0, TAR_NULL_RECORD, TAR_NOT_FOUND},
        {"changed first header", damaged, TAR_BAD_CHECKSUM, 0, TAR_BAD_CHECKSUM, TAR_BAD_CHECKSUM},
        {"HTML page", to_bytes(page + "</body></html>\n"), TAR_BAD_CHECKSUM, 0, TAR_BAD_CHECKSUM, TAR_BAD_CHECKSUM},
        {"short HTML page", to_bytes("<html><body>Error</body></html>"), TAR_FAILURE, 512, TAR_FAILURE, TAR_FAILURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mem_reader reader(c.data);
        tar_header header;
        EXPECT_EQ(tar_read_header(&reader.tar, &header), c.header);
        EXPECT_EQ(reader.tar.pos, c.pos);
        EXPECT_EQ(tar_next(&reader.tar), c.next);
        EXPECT_EQ(tar_find(&reader.tar, "other", &header), c.find);
    }

    // A damaged second header: the first member is still found.
    bytes second = write_tar({{"a", "1"}, {"b", "2"}});
    second[1024 + 130] ^= 1;
    mem_reader reader(second);
    EXPECT_EQ(read_member(&reader.tar, "a"), "1");
    EXPECT_EQ(tar_find(&reader.tar, "b", nullptr), TAR_BAD_CHECKSUM);
}

TEST(TarRead, SizesNearFourGigabytesFailCleanly)
{
    // 37777777777 is the largest 32-bit size; 77777777777 does not fit and
    // saturates. Neither may wrap the position around to an earlier header.
    for (const char* size : {"37777777777", "77777777777", "37777777000"}) {
        SCOPED_TRACE(size);
        bytes out = write_tar({{"first", "data"}});
        const bytes huge = raw_header("huge", size, std::strlen(size), "0");
        out.insert(out.begin() + 1024, huge.begin(), huge.end());
        mem_reader reader(out);
        tar_header header;
        ASSERT_EQ(tar_next(&reader.tar), TAR_OK);
        ASSERT_EQ(tar_read_header(&reader.tar, &header), TAR_OK);
        EXPECT_GE(header.size, 0xFFFFFE00u);
        EXPECT_EQ(tar_next(&reader.tar), TAR_FAILURE);
        EXPECT_EQ(reader.tar.pos, 1024u);
        EXPECT_EQ(tar_find(&reader.tar, "absent", nullptr), TAR_FAILURE);
        ASSERT_EQ(tar_find(&reader.tar, "huge", nullptr), TAR_OK);
        // The first bytes lie inside the block; the rest of the claimed size
        // passes both the block and the 32-bit position.
        std::string buffer(16, '\0');
        EXPECT_EQ(tar_read_data(&reader.tar, buffer.data(), 16), TAR_OK);
        EXPECT_EQ(reader.tar.remaining_data, header.size - 16);
        EXPECT_EQ(tar_read_data(&reader.tar, buffer.data(), header.size - 16), TAR_FAILURE);
    }
}

TEST(TarStream, PositionMovesAlsoWhenTheCallbackFails)
{
    tar_archive tar;
    tar.read = [](tar_archive*, void*, std::uint32_t) { return int{TAR_READ_FAILED}; };
    tar.write = [](tar_archive*, const void*, std::uint32_t) { return int{TAR_WRITE_FAILED}; };
    tar.seek = [](tar_archive*, std::uint32_t) { return int{TAR_SEEK_FAILED}; };
    tar_header header;
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_READ_FAILED);
    EXPECT_EQ(tar.pos, 512u);
    EXPECT_EQ(tar.last_header, 0u);
    EXPECT_EQ(tar_seek(&tar, 77), TAR_SEEK_FAILED);
    EXPECT_EQ(tar.pos, 77u);
    EXPECT_EQ(tar_write_file_header(&tar, "x", 3), TAR_WRITE_FAILED);
    EXPECT_EQ(tar.pos, 77u + 512);
    EXPECT_EQ(tar_write_data(&tar, "abc", 3), TAR_WRITE_FAILED);
    EXPECT_EQ(tar.pos, 77u + 515);
    EXPECT_EQ(tar_finalize(&tar), TAR_WRITE_FAILED);  // stops at the first failing byte
    EXPECT_EQ(tar.pos, 77u + 516);
}

void write_file(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Tests with files, in a temporary directory that is removed afterwards.
class TarFile : public testing::Test {
protected:
    void SetUp() override
    {
        std::string name = testing::TempDir() + "ornat_tar_XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    // Runs a shell command in the directory.
    int run(const std::string& command) const { return std::system(("cd '" + dir_ + "' && " + command).c_str()); }
    bool have_tool(const char* tool) const { return run(std::string("command -v ") + tool + " >/dev/null") == 0; }

    std::string dir_;
};

TEST_F(TarFile, WriteThenReadThroughTheFileStream)
{
    const std::string path = file("set.tar");
    tar_archive tar;
    ASSERT_EQ(tar_open(&tar, path.c_str(), "w"), TAR_OK);
    const std::string data = pattern(1500, 9);
    write_members(&tar, {{"/etc/config/dali/dali1.bin", data}});
    EXPECT_EQ(tar.pos, 512u + 1536 + 1024);
    ASSERT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(read_file(path).size(), 512u + 1536 + 1024);

    // "r+" becomes "rb": the open reads the first header.
    ASSERT_EQ(tar_open(&tar, path.c_str(), "r+"), TAR_OK);
    EXPECT_EQ(tar.pos, 0u);
    EXPECT_EQ(read_member(&tar, "/etc/config/dali/dali1.bin"), data);
    EXPECT_EQ(tar.pos, 0u);
    ASSERT_EQ(tar_next(&tar), TAR_OK);
    EXPECT_EQ(tar_next(&tar), TAR_NULL_RECORD);
    EXPECT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(tar.stream, nullptr);

    // Append mode adds behind what is there.
    ASSERT_EQ(tar_open(&tar, path.c_str(), "a"), TAR_OK);
    write_members(&tar, {{"a", ""}});
    ASSERT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(read_file(path).size(), 512u + 1536 + 1024 + 1536);
}

TEST_F(TarFile, OpenFailures)
{
    write_file(file("short.tar"), std::string(100, 'x'));
    write_file(file("page.html"), std::string(1024, '<'));
    write_file(file("empty.tar"), std::string(1024, '\0'));
    const struct {
        const char* file;
        const char* mode;
        int code;
    } cases[] = {
        {"missing/x.tar", "w", TAR_OPEN_FAILED}, {"absent.tar", "r", TAR_OPEN_FAILED},
        {"short.tar", "r", TAR_READ_FAILED},     {"page.html", "r", TAR_BAD_CHECKSUM},
        {"empty.tar", "rb", TAR_NULL_RECORD},
    };
    for (const auto& c : cases) {
        tar_archive tar;
        EXPECT_EQ(tar_open(&tar, file(c.file).c_str(), c.mode), c.code) << c.file;
        EXPECT_EQ(tar.stream, nullptr) << c.file;
    }
}

// Members every interoperability case holds: a small text, binary data
// across several records, an empty file and one of exactly one record.
const std::vector<member> SAMPLES = {
    {"status.txt", "{\"mac\":\"00:11:22:33:44:55\"}"},
    {"dali1.bin", pattern(1300, 21)},
    {"empty.bin", ""},
    {"record.bin", pattern(512, 4)},
};

class TarInterop : public TarFile {
protected:
    // The samples as files in "in", and as our own archive "ours.tar"
    // through the file stream, which writes what the memory stream does.
    void SetUp() override
    {
        TarFile::SetUp();
        ASSERT_TRUE(std::filesystem::create_directory(file("in")));
        for (const member& m : SAMPLES) {
            write_file(file("in/" + m.name), m.data);
        }
        tar_archive tar;
        ASSERT_EQ(tar_open(&tar, file("ours.tar").c_str(), "w"), TAR_OK);
        write_members(&tar, SAMPLES);
        ASSERT_EQ(tar_close(&tar), TAR_OK);
        ASSERT_EQ(to_bytes(read_file(file("ours.tar"))), write_tar(SAMPLES));
    }

    // Reads a foreign archive of the samples through the file stream and
    // from memory.
    void expect_samples(const std::string& name)
    {
        std::vector<std::string> expected_list;
        for (const member& m : SAMPLES) {
            expected_list.push_back(m.name + " " + std::to_string(m.data.size()));
        }
        tar_archive from_file;
        ASSERT_EQ(tar_open(&from_file, file(name).c_str(), "r"), TAR_OK);
        mem_reader from_memory(to_bytes(read_file(file(name))));
        for (tar_archive* tar : {&from_file, &from_memory.tar}) {
            EXPECT_EQ(list_members(tar), expected_list);
            for (const member& m : SAMPLES) {
                EXPECT_EQ(read_member(tar, m.name.c_str()), m.data) << m.name;
            }
        }
        tar_close(&from_file);
    }
};

TEST_F(TarInterop, GnuTarBothWays)
{
    if (!have_tool("tar")) {
        GTEST_SKIP() << "tar is not installed";
    }
    for (const std::string format : {"ustar", "gnu", "v7"}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(run("tar --format=" + format + " -C in -cf " + format +
                      ".tar status.txt dali1.bin empty.bin record.bin"),
                  0);
        expect_samples(format + ".tar");
    }
    // Ours extracts to the sample files, without checksum or lone-zero-block
    // complaints; modes and owners are checked through Python below.
    ASSERT_EQ(run("mkdir out && tar -C out -xf ours.tar 2>err.txt && diff -r in out"), 0);
    EXPECT_EQ(read_file(file("err.txt")), "");
}

TEST_F(TarInterop, PythonTarfileBothWays)
{
    if (!have_tool("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    write_file(file("make.py"),
               "import sys, tarfile\n"
               "with tarfile.open(sys.argv[1] + '.tar', 'w', format=getattr(tarfile, sys.argv[1])) as t:\n"
               "    for name in ['status.txt', 'dali1.bin', 'empty.bin', 'record.bin']:\n"
               "        t.add('in/' + name, arcname=name)\n");
    for (const std::string format : {"USTAR_FORMAT", "GNU_FORMAT"}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(run("python3 make.py " + format), 0);
        expect_samples(format + ".tar");
    }
    // Each member of ours: name, size, mode, owner, group, whether it is a
    // regular file and whether its data is that of the sample file.
    write_file(file("list.py"),
               "import tarfile\n"
               "with tarfile.open('ours.tar') as t:\n"
               "    for m in t.getmembers():\n"
               "        print(m.name, m.size, oct(m.mode), m.uid, m.gid, m.isreg(),\n"
               "              t.extractfile(m).read() == open('in/' + m.name, 'rb').read())\n");
    ASSERT_EQ(run("python3 list.py >list.txt"), 0);
    std::string expected;
    for (const member& m : SAMPLES) {
        expected += m.name + " " + std::to_string(m.data.size()) + " 0o664 0 0 True True\n";
    }
    EXPECT_EQ(read_file(file("list.txt")), expected);
}

}  // namespace
