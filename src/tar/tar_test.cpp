#include "tar/tar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using bytes = std::vector<unsigned char>;

struct member {
    std::string name;
    std::string data;
};

bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

// Writes the members and the end records into a memory tar.
bytes write_tar(const std::vector<member>& members)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    for (const member& m : members) {
        EXPECT_EQ(tar_write_file_header(&tar, m.name.c_str(), static_cast<std::uint32_t>(m.data.size())),
                  TAR_OK);
        EXPECT_EQ(tar_write_data(&tar, m.data.data(), static_cast<std::uint32_t>(m.data.size())), TAR_OK);
    }
    EXPECT_EQ(tar_finalize(&tar), TAR_OK);
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

// Writes a header record with raw field texts and a correct checksum, for
// layouts the writer never produces (full-width fields, huge sizes).
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
        if (i < 148 || i >= 156) {
            sum += rec[i];
        }
    }
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    std::memcpy(&rec[148], checksum, 7);                    // checksum, offset 148
    rec[155] = ' ';
    return rec;
}

std::string pattern(std::size_t n, unsigned seed)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

TEST(TarHeader, StatusHeaderBytes)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    tar_header header;
    header.mode = 0664;
    header.owner = 0;
    header.size = 10;
    header.mtime = 0;
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
}

TEST(TarHeader, TypeZeroIsWrittenAsRegularFile)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_file_header(&tar, "a", 0), TAR_OK);
    tar_header header;
    std::strcpy(header.name, "d");
    header.type = 0;
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    header.type = '5';
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    ASSERT_EQ(out.size(), 3 * 512u);
    EXPECT_EQ(out[156], '0');
    EXPECT_EQ(out[512 + 156], '0');
    EXPECT_EQ(out[1024 + 156], '5');
    EXPECT_STREQ(reinterpret_cast<const char*>(&out[100]), "664");
}

TEST(TarHeader, RoundTripOfEveryField)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    tar_header written;
    written.mode = 0755;
    written.owner = 1000;
    written.size = 0;
    written.mtime = 0xFFFFFFFFu;
    written.type = '2';
    std::strcpy(written.name, "/etc/config/dali/dali1.bin");
    std::strcpy(written.linkname, "target");
    ASSERT_EQ(tar_write_header(&tar, &written), TAR_OK);
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);

    mem_reader reader(out);
    tar_header read;
    ASSERT_EQ(tar_read_header(&reader.tar, &read), TAR_OK);
    EXPECT_EQ(read.mode, 0755u);
    EXPECT_EQ(read.owner, 1000u);
    EXPECT_EQ(read.size, 0u);
    EXPECT_EQ(read.mtime, 0xFFFFFFFFu);
    EXPECT_EQ(read.type, static_cast<std::uint32_t>('2'));
    EXPECT_STREQ(read.name, "/etc/config/dali/dali1.bin");
    EXPECT_STREQ(read.linkname, "target");
}

TEST(TarHeader, FullWidthFieldsAreReadWithinTheField)
{
    // A 100-byte name without terminator, a 12-digit size without NUL, and
    // digits right behind it in the mtime field that must not be taken in.
    const std::string name(100, 'n');
    const bytes rec = raw_header(name.c_str(), "000000000012", 12, "1234");
    mem_reader reader(rec);
    tar_header header;
    ASSERT_EQ(tar_read_header(&reader.tar, &header), TAR_OK);
    EXPECT_EQ(header.size, 10u);
    EXPECT_EQ(header.mtime, 01234u);
    EXPECT_EQ(std::string(header.name), name);
}

TEST(TarLayout, MemberSizesRoundToRecords)
{
    const struct {
        std::size_t data;
        std::size_t member;
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
        for (std::size_t i = 512 + c.data; i < out.size(); ++i) {
            ASSERT_EQ(out[i], 0) << "padding byte " << i;
        }
        ASSERT_EQ(tar_finalize(&tar), TAR_OK);
        EXPECT_EQ(out.size(), 512 + (c.data + 511) / 512 * 512 + 1024);
    }
}

TEST(TarLayout, DataInPiecesIsPaddedAfterTheLastPiece)
{
    bytes out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    ASSERT_EQ(tar_write_file_header(&tar, "m", 700), TAR_OK);
    const std::string data = pattern(700, 3);
    ASSERT_EQ(tar_write_data(&tar, data.data(), 300), TAR_OK);
    EXPECT_EQ(out.size(), 812u);
    ASSERT_EQ(tar_write_data(&tar, data.data() + 300, 400), TAR_OK);
    EXPECT_EQ(out.size(), 1536u);
    // More data than the header announced is refused.
    EXPECT_EQ(tar_write_data(&tar, "x", 1), TAR_FAILURE);
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);

    mem_reader reader(out);
    EXPECT_EQ(read_member(&reader.tar, "m"), data);
}

TEST(TarRead, EmptyArchiveIsANullRecord)
{
    mem_reader reader(bytes(1024, 0));
    tar_header header;
    EXPECT_EQ(tar_read_header(&reader.tar, &header), TAR_NULL_RECORD);
    EXPECT_EQ(reader.tar.pos, 0u);
    EXPECT_EQ(tar_find(&reader.tar, "status.txt", &header), TAR_NOT_FOUND);
    EXPECT_EQ(tar_next(&reader.tar), TAR_NULL_RECORD);
}

TEST(TarRead, FindReturnsTheFirstOfDuplicates)
{
    const bytes out = write_tar({{"a", "first"}, {"b", "bee"}, {"a", "second"}});
    mem_reader reader(out);
    tar_header header;
    ASSERT_EQ(tar_find(&reader.tar, "a", &header), TAR_OK);
    EXPECT_EQ(reader.tar.pos, 0u);
    EXPECT_EQ(header.size, 5u);
    EXPECT_EQ(read_member(&reader.tar, "a"), "first");
    EXPECT_EQ(read_member(&reader.tar, "b"), "bee");
    EXPECT_EQ(tar_find(&reader.tar, "c", nullptr), TAR_NOT_FOUND);
    // Names compare byte for byte: no prefix or case match.
    EXPECT_EQ(tar_find(&reader.tar, "A", nullptr), TAR_NOT_FOUND);
    EXPECT_EQ(tar_find(&reader.tar, "", nullptr), TAR_NOT_FOUND);
    EXPECT_EQ((std::vector<std::string>{"a 5", "b 3", "a 6"}), list_members(&reader.tar));
}

TEST(TarRead, PositionFollowsHeadersAndData)
{
    const std::string big = pattern(1000, 11);
    const bytes out = write_tar({{"one", "1"}, {"two", big}, {"three", ""}});
    mem_reader reader(out);
    tar_archive* tar = &reader.tar;

    tar_header header;
    ASSERT_EQ(tar_find(tar, "two", &header), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u);
    EXPECT_EQ(tar->last_header, 1024u);

    // A member read in pieces: the position walks through the data and
    // returns to the member's header after the last byte.
    std::string data(1000, '\0');
    ASSERT_EQ(tar_read_data(tar, data.data(), 3), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u + 512 + 3);
    EXPECT_EQ(tar->remaining_data, 997u);
    ASSERT_EQ(tar_read_data(tar, data.data() + 3, 997), TAR_OK);
    EXPECT_EQ(data, big);
    EXPECT_EQ(tar->pos, 1024u);
    EXPECT_EQ(tar->remaining_data, 0u);

    // Reading more than the member holds is refused.
    ASSERT_EQ(tar_read_data(tar, data.data(), 1001), TAR_FAILURE);

    ASSERT_EQ(tar_rewind(tar), TAR_OK);
    EXPECT_EQ(tar->remaining_data, 0u);
    ASSERT_EQ(tar_next(tar), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u);
    ASSERT_EQ(tar_next(tar), TAR_OK);
    EXPECT_EQ(tar->pos, 1024u + 512 + 1024);
    ASSERT_EQ(tar_next(tar), TAR_OK);  // "three" has no data records
    EXPECT_EQ(tar->pos, 1024u + 512 + 1024 + 512);
    EXPECT_EQ(tar_next(tar), TAR_NULL_RECORD);

    // An empty member is read without a buffer.
    ASSERT_EQ(tar_find(tar, "three", nullptr), TAR_OK);
    EXPECT_EQ(tar_read_data(tar, nullptr, 0), TAR_OK);
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
        {0, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},
        {100, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},
        {511, TAR_FAILURE, TAR_FAILURE, TAR_FAILURE},
        {512, TAR_OK, TAR_FAILURE, TAR_FAILURE},
        {1111, TAR_OK, TAR_FAILURE, TAR_FAILURE},
        {1112, TAR_OK, TAR_FAILURE, TAR_OK},
        {1536, TAR_OK, TAR_FAILURE, TAR_OK},
        {2047, TAR_OK, TAR_FAILURE, TAR_OK},
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

    const bytes out = write_tar({{"m", "x"}});
    mem_reader reader(out);
    EXPECT_EQ(tar_mem_read(&reader.tar, nullptr, 1), TAR_FAILURE);
    EXPECT_EQ(tar_read_header(nullptr, &header), TAR_FAILURE);
    EXPECT_EQ(tar_find(&reader.tar, nullptr, &header), TAR_FAILURE);
    EXPECT_EQ(tar_close(&reader.tar), TAR_OK);
}

TEST(TarRead, BadChecksumStopsTheWalk)
{
    bytes out = write_tar({{"status.txt", "{}"}, {"other", "o"}});
    out[0] = 'S';
    mem_reader reader(out);
    tar_header header;
    EXPECT_EQ(tar_read_header(&reader.tar, &header), TAR_BAD_CHECKSUM);
    EXPECT_EQ(reader.tar.pos, 0u);
    EXPECT_EQ(tar_find(&reader.tar, "other", &header), TAR_BAD_CHECKSUM);

    // A damaged second header: the first member is still found.
    bytes second = write_tar({{"a", "1"}, {"b", "2"}});
    second[1024 + 130] ^= 1;
    mem_reader reader2(second);
    EXPECT_EQ(read_member(&reader2.tar, "a"), "1");
    EXPECT_EQ(tar_find(&reader2.tar, "b", &header), TAR_BAD_CHECKSUM);
}

TEST(TarRead, HtmlPageIsNotATar)
{
    std::string page = "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n<body>";
    while (page.size() < 700) {
        page += "<p>The requested configuration was not found on this server.</p>\n";
    }
    page += "</body></html>\n";
    mem_reader reader(to_bytes(page));
    tar_header header;
    EXPECT_EQ(tar_read_header(&reader.tar, &header), TAR_BAD_CHECKSUM);
    EXPECT_EQ(tar_find(&reader.tar, "status.txt", &header), TAR_BAD_CHECKSUM);

    mem_reader short_page(to_bytes("<html><body>Error</body></html>"));
    EXPECT_EQ(tar_read_header(&short_page.tar, &header), TAR_FAILURE);
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

// A stream whose callbacks fail, to see the position bookkeeping.
int failing_read(tar_archive*, void*, std::uint32_t) { return TAR_READ_FAILED; }
int failing_write(tar_archive*, const void*, std::uint32_t) { return TAR_WRITE_FAILED; }
int failing_seek(tar_archive*, std::uint32_t) { return TAR_SEEK_FAILED; }

TEST(TarStream, PositionMovesAlsoWhenTheCallbackFails)
{
    tar_archive tar;
    tar.read = failing_read;
    tar.write = failing_write;
    tar.seek = failing_seek;
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
    // The end records stop at the first failing byte.
    EXPECT_EQ(tar_finalize(&tar), TAR_WRITE_FAILED);
    EXPECT_EQ(tar.pos, 77u + 516);
}

// A temporary directory removed with its content at the end of the test.
struct temp_dir {
    std::string path;
    temp_dir()
    {
        std::string pattern_path = testing::TempDir() + "ornat_tar_XXXXXX";
        std::vector<char> buffer(pattern_path.begin(), pattern_path.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) {
            path = buffer.data();
        }
    }
    ~temp_dir()
    {
        if (!path.empty()) {
            std::system(("rm -rf '" + path + "'").c_str());
        }
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bytes read_bytes(const std::string& path) { return to_bytes(read_file(path)); }

bool have_tool(const char* tool)
{
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int run(const std::string& command) { return std::system(command.c_str()); }

TEST(TarFile, WriteThenReadThroughTheFileStream)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.file("set.tar");
    tar_archive tar;
    ASSERT_EQ(tar_open(&tar, path.c_str(), "w"), TAR_OK);
    const std::string data = pattern(1500, 9);
    ASSERT_EQ(tar_write_file_header(&tar, "/etc/config/dali/dali1.bin", 1500), TAR_OK);
    ASSERT_EQ(tar_write_data(&tar, data.data(), 1500), TAR_OK);
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);
    EXPECT_EQ(tar.pos, 512u + 1536 + 1024);
    ASSERT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(read_bytes(path).size(), 512u + 1536 + 1024);

    // "r+" becomes "rb": the open reads the first header.
    ASSERT_EQ(tar_open(&tar, path.c_str(), "r+"), TAR_OK);
    EXPECT_EQ(tar.pos, 0u);
    EXPECT_EQ(read_member(&tar, "/etc/config/dali/dali1.bin"), data);
    EXPECT_EQ(tar.pos, 0u);
    ASSERT_EQ(tar_next(&tar), TAR_OK);
    EXPECT_EQ(tar_next(&tar), TAR_NULL_RECORD);
    EXPECT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(tar.stream, nullptr);
}

TEST(TarFile, OpenFailures)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    tar_archive tar;
    EXPECT_EQ(tar_open(&tar, dir.file("missing/x.tar").c_str(), "w"), TAR_OPEN_FAILED);
    EXPECT_EQ(tar_open(&tar, dir.file("absent.tar").c_str(), "r"), TAR_OPEN_FAILED);

    write_file(dir.file("short.tar"), std::string(100, 'x'));
    EXPECT_EQ(tar_open(&tar, dir.file("short.tar").c_str(), "r"), TAR_READ_FAILED);
    EXPECT_EQ(tar.stream, nullptr);

    write_file(dir.file("page.html"), std::string(1024, '<'));
    EXPECT_EQ(tar_open(&tar, dir.file("page.html").c_str(), "r"), TAR_BAD_CHECKSUM);

    write_file(dir.file("empty.tar"), std::string(1024, '\0'));
    EXPECT_EQ(tar_open(&tar, dir.file("empty.tar").c_str(), "rb"), TAR_NULL_RECORD);
    EXPECT_EQ(tar.stream, nullptr);

    // Append mode adds behind what is there.
    write_file(dir.file("append.tar"), "");
    ASSERT_EQ(tar_open(&tar, dir.file("append.tar").c_str(), "a"), TAR_OK);
    ASSERT_EQ(tar_write_file_header(&tar, "a", 0), TAR_OK);
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);
    ASSERT_EQ(tar_close(&tar), TAR_OK);
    EXPECT_EQ(read_bytes(dir.file("append.tar")).size(), 1536u);
}

// Members every interoperability case writes: a small text, a piece of
// binary data across several records, an empty file and one of exactly one
// record.
const std::vector<member>& sample_members()
{
    static const std::vector<member> members = {
        {"status.txt", "{\"mac\":\"00:11:22:33:44:55\"}"},
        {"dali1.bin", pattern(1300, 21)},
        {"empty.bin", ""},
        {"record.bin", pattern(512, 4)},
    };
    return members;
}

void expect_sample_members(tar_archive* tar)
{
    std::vector<std::string> expected_list;
    for (const member& m : sample_members()) {
        expected_list.push_back(m.name + " " + std::to_string(m.data.size()));
    }
    EXPECT_EQ(list_members(tar), expected_list);
    for (const member& m : sample_members()) {
        EXPECT_EQ(read_member(tar, m.name.c_str()), m.data) << m.name;
    }
}

void write_sample_files(const temp_dir& dir)
{
    ASSERT_EQ(run("mkdir -p '" + dir.file("in") + "'"), 0);
    for (const member& m : sample_members()) {
        write_file(dir.file("in/" + m.name), m.data);
    }
}

TEST(TarInterop, ReadsGnuTarArchives)
{
    if (!have_tool("tar")) {
        GTEST_SKIP() << "tar is not installed";
    }
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    write_sample_files(dir);
    for (const char* format : {"ustar", "gnu", "v7"}) {
        SCOPED_TRACE(format);
        const std::string path = dir.file(std::string(format) + ".tar");
        ASSERT_EQ(run(std::string("tar --format=") + format + " -C '" + dir.file("in") + "' -cf '" + path +
                      "' status.txt dali1.bin empty.bin record.bin"),
                  0);
        tar_archive tar;
        ASSERT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_OK);
        expect_sample_members(&tar);
        tar_close(&tar);

        mem_reader reader(read_bytes(path));
        expect_sample_members(&reader.tar);
    }
}

TEST(TarInterop, ReadsPythonTarfileArchives)
{
    if (!have_tool("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    write_sample_files(dir);
    write_file(dir.file("make.py"),
               "import sys, tarfile\n"
               "fmt = getattr(tarfile, sys.argv[1])\n"
               "with tarfile.open(sys.argv[2], 'w', format=fmt) as t:\n"
               "    for name in ['status.txt', 'dali1.bin', 'empty.bin', 'record.bin']:\n"
               "        t.add(sys.argv[3] + '/' + name, arcname=name)\n");
    for (const char* format : {"USTAR_FORMAT", "GNU_FORMAT"}) {
        SCOPED_TRACE(format);
        const std::string path = dir.file(std::string(format) + ".tar");
        ASSERT_EQ(run("python3 '" + dir.file("make.py") + "' " + format + " '" + path + "' '" + dir.file("in") +
                      "'"),
                  0);
        mem_reader reader(read_bytes(path));
        expect_sample_members(&reader.tar);
    }
}

TEST(TarInterop, GnuTarListsAndExtractsOurArchive)
{
    if (!have_tool("tar")) {
        GTEST_SKIP() << "tar is not installed";
    }
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.file("ours.tar");
    tar_archive tar;
    ASSERT_EQ(tar_open(&tar, path.c_str(), "w"), TAR_OK);
    for (const member& m : sample_members()) {
        ASSERT_EQ(tar_write_file_header(&tar, m.name.c_str(), static_cast<std::uint32_t>(m.data.size())), TAR_OK);
        ASSERT_EQ(tar_write_data(&tar, m.data.data(), static_cast<std::uint32_t>(m.data.size())), TAR_OK);
    }
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);
    ASSERT_EQ(tar_close(&tar), TAR_OK);

    ASSERT_EQ(run("tar -tvf '" + path + "' >'" + dir.file("list.txt") + "' 2>'" + dir.file("err.txt") + "'"), 0);
    EXPECT_EQ(read_file(dir.file("err.txt")), "");  // no checksum or lone-zero-block complaints
    std::istringstream list(read_file(dir.file("list.txt")));
    std::string line;
    for (const member& m : sample_members()) {
        ASSERT_TRUE(std::getline(list, line));
        std::istringstream fields(line);
        std::string mode, owner, size;
        fields >> mode >> owner >> size;
        EXPECT_EQ(mode, "-rw-rw-r--") << line;
        EXPECT_EQ(owner, "0/0") << line;
        EXPECT_EQ(size, std::to_string(m.data.size())) << line;
        EXPECT_EQ(line.substr(line.size() - m.name.size()), m.name) << line;
    }
    EXPECT_FALSE(std::getline(list, line));

    ASSERT_EQ(run("mkdir '" + dir.file("out") + "' && tar -C '" + dir.file("out") + "' -xf '" + path + "'"), 0);
    for (const member& m : sample_members()) {
        EXPECT_EQ(read_file(dir.file("out/" + m.name)), m.data) << m.name;
    }
}

TEST(TarInterop, PythonTarfileReadsOurArchive)
{
    if (!have_tool("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    write_file(dir.file("ours.tar"), [] {
        bytes out = write_tar(sample_members());
        return std::string(out.begin(), out.end());
    }());
    // Python prints each member as name, size and the hex of its data.
    write_file(dir.file("list.py"),
               "import sys, tarfile\n"
               "with tarfile.open(sys.argv[1]) as t:\n"
               "    for m in t.getmembers():\n"
               "        data = t.extractfile(m).read()\n"
               "        print(m.name, m.size, m.mode, m.isreg(), data.hex())\n");
    ASSERT_EQ(run("python3 '" + dir.file("list.py") + "' '" + dir.file("ours.tar") + "' >'" + dir.file("list.txt") +
                  "'"),
              0);
    std::string expected;
    for (const member& m : sample_members()) {
        std::string hex;
        for (unsigned char c : m.data) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", c);
            hex += digits;
        }
        expected += m.name + " " + std::to_string(m.data.size()) + " 436 True " + hex + "\n";
    }
    EXPECT_EQ(read_file(dir.file("list.txt")), expected);
}

}  // namespace
