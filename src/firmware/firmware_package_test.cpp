#include "firmware/firmware_package.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <zip.h>
#include <zlib.h>
#include <zstd.h>

#include "common/handles.h"
#include "firmware/hex.h"
#include "firmware/winzip_aes.h"
#include "support/aes_zip.h"

namespace {

const std::string PASSWORD = FIRMWARE_PACKAGE_PASSWORD;
const std::string NOT_VALID = "FIRMWARE FILE IS NOT VALID!";
const std::string BAD_DIGEST = "File is invalid (h).\n";

// Half pseudo-random bytes, half repeated text: every method both
// compresses and copies.
bytes make_image(std::size_t size) {
    bytes image(size);
    std::uint32_t state = 0x12345678;
    const char text[] = "DALI controller firmware block ";
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245 + 12345;
        image[i] = (i / 8192) % 2 == 0 ? static_cast<unsigned char>(state >> 24)
                                       : static_cast<unsigned char>(text[i % (sizeof text - 1)]);
    }
    return image;
}

bytes digest_text(const bytes& image) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    EVP_Digest(image.data(), image.size(), digest, nullptr, EVP_sha256(), nullptr);
    char text[65];
    hex_encode(digest, 32, text);
    return bytes(text, text + 64);
}

// ---- packages written by libzip ----

struct libzip_entry {
    std::string name;
    bytes content;
    zip_uint16_t encryption = ZIP_EM_AES_256;
    zip_int32_t compression = ZIP_CM_DEFLATE;
    std::string password = PASSWORD;
};

bool write_libzip(const std::string& path, const std::vector<libzip_entry>& entries) {
    int error = 0;
    zip_ptr archive(zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
    for (const libzip_entry& entry : entries) {
        zip_source_t* source = zip_source_buffer(archive.get(), entry.content.data(), entry.content.size(), 0);
        auto at = static_cast<zip_uint64_t>(zip_file_add(archive.get(), entry.name.c_str(), source, 0));
        if (zip_set_file_compression(archive.get(), at, entry.compression, 0) != 0 ||
            (entry.encryption != ZIP_EM_NONE &&
             zip_file_set_encryption(archive.get(), at, entry.encryption, entry.password.c_str()) != 0)) {
            return false;
        }
    }
    if (zip_close(archive.get()) != 0) return false;
    archive.release();
    return true;
}

std::vector<libzip_entry> package_entries(const bytes& image, zip_int32_t compression) {
    return {{"ornat.bh", digest_text(image), ZIP_EM_AES_256, compression},
            {"ornat.binary", image, ZIP_EM_AES_256, compression}};
}

// ---- packages written by hand: any method, AE-1 or AE-2 ----

// The stored digest of `image` and an image entry of the content given:
// `compressed` with `method`, `size` bytes in the headers, AE-1 with a CRC-32.
bytes aes_package(const bytes& image, const bytes& compressed, std::uint16_t method, std::uint64_t size,
                  std::uint32_t crc = 0) {
    const bytes text = digest_text(image);
    return aes_zip({{"ornat.bh", aes_zip_encrypt(text, PASSWORD.c_str()), 0, text.size()},
                    {"ornat.binary", aes_zip_encrypt(compressed, PASSWORD.c_str()), method, size, crc,
                     static_cast<std::uint16_t>(crc != 0 ? 1 : 2)}});
}

bytes zstd_compress(const bytes& data) {
    bytes out(ZSTD_compressBound(data.size()));
    std::size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

// Zip LZMA content: the 9-byte header and an LZMA1 stream without end marker.
bytes lzma_compress(const bytes& data) {
    lzma_options_lzma options{};  // no end marker: ext_flags 0
    lzma_lzma_preset(&options, 6);
    options.dict_size = 1 << 20;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    bytes out = {0x10, 0x02, 5, 0};  // SDK version 16.02, properties size 5
    out.push_back(static_cast<unsigned char>((options.pb * 5 + options.lp) * 9 + options.lc));
    put32(out, options.dict_size);
    std::size_t position = out.size();
    out.resize(position + data.size() + data.size() / 2 + 1024);
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &position, out.size()),
              LZMA_OK);
    out.resize(position);
    return out;
}

bool have_7z() { return std::system("command -v 7z >/dev/null 2>&1") == 0; }

class FirmwarePackage : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ornat-fw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::string write_file(const std::string& name, const bytes& data) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return path(name);
    }
    bytes read_file(const std::string& file) const {
        std::ifstream in(file, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string libzip_file(const std::string& name, const std::vector<libzip_entry>& entries) const {
        EXPECT_TRUE(write_libzip(path(name), entries));
        return path(name);
    }
    // Packs ornat.bh and ornat.binary with 7-Zip into `name`.
    std::string seven_zip_package(const std::string& name, const bytes& image, const std::string& method) {
        write_file("ornat.bh", digest_text(image));
        write_file("ornat.binary", image);
        std::string command = "cd '" + dir_.string() + "' && rm -f p.zip && 7z a -tzip -p" + PASSWORD +
                              " -mem=AES256 -mm=" + method + " p.zip ornat.bh ornat.binary >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::filesystem::rename(path("p.zip"), path(name));
        return path(name);
    }

    // Runs the validation; returns its console output.
    std::string validate(const std::string& file) {
        testing::internal::CaptureStdout();
        result_ = firmware_validate(file.c_str(), &record_, digest_);
        return testing::internal::GetCapturedStdout();
    }
    static std::string preparing(const std::string& file) {
        return "\nPreparing file...\nPreparing file '" + file + "'.\r\n";
    }
    void expect_valid(const std::string& file, const bytes& image) {
        EXPECT_EQ(validate(file), preparing(file));
        EXPECT_EQ(result_, 0);
        ASSERT_EQ(record_.size, image.size());
        // The image read from the file waits in the spool for its upload.
        ASSERT_TRUE(record_.spool_reader && record_.image.empty());
        std::ifstream spool(record_.spool->temp, std::ios::binary);
        EXPECT_TRUE(bytes(std::istreambuf_iterator<char>(spool), {}) == image);
        char text[65];
        hex_encode(digest_, 32, text);
        EXPECT_EQ(bytes(text, text + 64), digest_text(image));
    }
    void expect_refused(const std::string& file, const std::string& text) {
        EXPECT_EQ(validate(file), preparing(file) + text + NOT_VALID);
        EXPECT_EQ(result_, 1);
    }

    std::filesystem::path dir_;
    firmware_record record_;
    unsigned char digest_[SHA256_DIGEST_SIZE] = {};
    int result_ = -1;
};

// A digest in upper case is the end-to-end test's.
TEST_F(FirmwarePackage, PackagesOfEveryWriterAndMethodValidate) {
    const bytes image = make_image(300000);
    std::vector<std::string> files;
    for (zip_int32_t method : {ZIP_CM_STORE, ZIP_CM_DEFLATE, ZIP_CM_BZIP2}) {
        files.push_back(libzip_file("libzip" + std::to_string(method) + ".bin", package_entries(image, method)));
    }
    // zstd, LZMA without end marker and AE-1 with its CRC-32, which libzip does not write.
    files.push_back(write_file("zstd.bin", aes_package(image, zstd_compress(image), 93, image.size())));
    files.push_back(write_file("lzma.bin", aes_package(image, lzma_compress(image), 14, image.size())));
    const auto crc = static_cast<std::uint32_t>(crc32(0, image.data(), static_cast<uInt>(image.size())));
    files.push_back(write_file("ae1.bin", aes_package(image, image, 0, image.size(), crc)));
    if (have_7z()) {
        // The hand-written encryption and headers agree with an independent reader.
        EXPECT_EQ(std::system(("7z t -p" + PASSWORD + " '" + path("lzma.bin") + "' >/dev/null").c_str()), 0);
        for (const char* method : {"Copy", "Deflate", "BZip2", "LZMA"}) {
            files.push_back(seven_zip_package(std::string("7z-") + method + ".bin", image, method));
        }
    } else {
        std::puts("7z is not installed: its packages are not tried");
    }
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        expect_valid(file, image);
    }
}

// Every refusal with its text, in the order the checks are made. Damaged
// content ends the image early, so that only the digest comparison fails.
TEST_F(FirmwarePackage, RefusalsInCheckOrder) {
    const std::string OPEN = "File format is invalid (open).\n", PBH = "File format is invalid (pbh).\n";
    const bytes image = make_image(20000);
    const bytes good = read_file(libzip_file("good.bin", package_entries(image, ZIP_CM_STORE)));
    const bytes zstd = zstd_compress(image);
    const bytes encrypted = aes_zip_encrypt(image, PASSWORD.c_str());
    const struct {
        const char* what;
        bytes package;
        std::string text;
    } packages[] = {
        {"cut", bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), OPEN},
        {"empty", {}, OPEN},
        {"PPMd method", aes_package(image, image, 98, image.size()), PBH},
        {"undecodable deflate", aes_package(image, make_image(3000), 8, image.size()), BAD_DIGEST},
        {"truncated zstd", aes_package(image, bytes(zstd.begin(), zstd.end() - 1), 93, image.size()), BAD_DIGEST},
        {"AE-1 CRC differs", aes_package(image, image, 0, image.size(), 0x12345678), BAD_DIGEST},
        {"size differs", aes_package(image, image, 0, image.size() + 1), BAD_DIGEST},
        // The digest matches the bytes the headers declare; the rest is damage.
        {"content past its size", aes_package(bytes(image.begin(), image.begin() + 8192), image, 0, 8192), BAD_DIGEST},
        // Stored data one byte short of salt, verifier and authentication code.
        {"stored data too short",
         aes_zip({{"ornat.bh", aes_zip_encrypt(digest_text(image), PASSWORD.c_str()), 0, 64},
                  {"ornat.binary", bytes(encrypted.begin(), encrypted.begin() + 27), 0, image.size()}}),
         PBH},
    };
    for (const auto& p : packages) {
        SCOPED_TRACE(p.what);
        expect_refused(write_file("fw.bin", p.package), p.text);
        EXPECT_LT(record_.size, image.size());
    }

    bytes with_nul = digest_text(image), not_hex = with_nul;
    with_nul[10] = '\0';
    not_hex[10] = 'g';
    const struct {
        const char* what;
        std::function<void(std::vector<libzip_entry>&)> change;
        std::string text;
    } changes[] = {
        {"no digest entry", [](auto& e) { e.erase(e.begin()); }, "File format is invalid (bh).\n"},
        {"digest name case", [](auto& e) { e[0].name = "ORNAT.bh"; }, "File format is invalid (bh).\n"},
        {"digest plain", [](auto& e) { e[0].encryption = ZIP_EM_NONE; }, "File format is invalid (ppfbh).\n"},
        {"digest AES-128", [](auto& e) { e[0].encryption = ZIP_EM_AES_128; }, "File format is invalid (ppfbh).\n"},
        {"digest line end", [](auto& e) { e[0].content.push_back('\n'); }, "File content length is invalid (bh).\n"},
        {"digest short", [](auto& e) { e[0].content.pop_back(); }, "File content length is invalid (bh).\n"},
        {"no image entry", [](auto& e) { e.erase(e.begin() + 1); }, "File format is invalid (binary).\n"},
        {"image plain", [](auto& e) { e[1].encryption = ZIP_EM_NONE; }, "File format is invalid (ppfb).\n"},
        {"image AES-128", [](auto& e) { e[1].encryption = ZIP_EM_AES_128; }, "File format is invalid (ppfb).\n"},
        {"image password", [](auto& e) { e[1].password = "secret"; }, PBH},
        {"NUL in digest", [&](auto& e) { e[0].content = with_nul; }, BAD_DIGEST},
        {"not hex", [&](auto& e) { e[0].content = not_hex; }, ""},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        auto entries = package_entries(image, ZIP_CM_DEFLATE);
        entries.push_back({"readme.txt", bytes(10, 'x'), ZIP_EM_NONE});  // other entries are ignored
        c.change(entries);
        expect_refused(libzip_file("fw.bin", entries), c.text);
    }
}

// Any changed byte in an entry's stored data (salt, verification value,
// ciphertext, authentication code) keeps the package from passing; a
// changed ciphertext or code ends the image before its first byte. Stored
// and compressed content; the fixed salt of aes_zip_encrypt lets the stored
// data be found in the package.
TEST_F(FirmwarePackage, ChangedStoredBytesNeverPass) {
    const bytes image = make_image(20000);
    const std::size_t header = winzip_aes_salt_size(3) + WINZIP_AES_VERIFIER_SIZE;
    for (const auto& [method, content] : {std::pair<std::uint16_t, bytes>{0, image}, {93, zstd_compress(image)}}) {
        const bytes package = aes_package(image, content, method, image.size());
        const bytes stored = aes_zip_encrypt(content, PASSWORD.c_str());
        const auto start = static_cast<std::size_t>(
            std::search(package.begin(), package.end(), stored.begin(), stored.end()) - package.begin());
        ASSERT_LT(start, package.size());
        for (std::size_t offset : {std::size_t{0}, header - 1, header, header + stored.size() / 3, stored.size() - 1}) {
            SCOPED_TRACE("method " + std::to_string(method) + " offset " + std::to_string(offset));
            bytes changed = package;
            changed[start + offset] ^= 0x01;
            std::string output = validate(write_file("fw.bin", changed));
            EXPECT_EQ(result_, 1);
            if (offset >= header) {
                EXPECT_EQ(output, preparing(path("fw.bin")) + BAD_DIGEST + NOT_VALID);
                EXPECT_EQ(record_.size, 0u);
            }
        }
    }
}

TEST_F(FirmwarePackage, OversizedImageStopsAtLimit) {
    const bytes zeros(20u * 1024 * 1024);  // a few KiB deflated
    expect_refused(libzip_file("bomb.bin", package_entries(zeros, ZIP_CM_DEFLATE)), BAD_DIGEST);
    EXPECT_GT(record_.size, FIRMWARE_IMAGE_MAX);
    EXPECT_LE(record_.size, FIRMWARE_IMAGE_MAX + 4096);
    validate(write_file("big.binary", zeros));
    EXPECT_GT(record_.size, FIRMWARE_IMAGE_MAX);
    EXPECT_LE(record_.size, FIRMWARE_IMAGE_MAX + 1024);
}

TEST_F(FirmwarePackage, ExtensionChoosesTheReader) {
    const bytes image = make_image(70000);
    expect_valid(write_file("fw.binary", image), image);  // a raw image is used whole
    // A missing raw file passes with an empty image; the size check of the
    // push refuses it later.
    expect_valid(path("missing.binary"), {});

    libzip_file("fw.BIN", package_entries(image, ZIP_CM_STORE));
    for (std::string file : {path("fw.BIN"), path("firmware"), std::string(".bin"), std::string("C:\\fw.v2\\image")}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(validate(file), "\nFile format not supported.\n" + NOT_VALID);
        EXPECT_EQ(result_, 1);
    }
}

TEST(FirmwareFile, ExtensionIsTextAfterLastDotOfWholePath) {
    // clang-format off
    const struct {
        const char* path;
        const char* extension;
    } cases[] = {
        {"fw.bin", "bin"}, {"fw.BIN", "BIN"}, {"dir/a.b.binary", "binary"}, {"firmware", ""}, {"fw.", ""},
        {".bin", ""},                       // the only dot is the first character
        {"C:\\fw.v2\\image", "v2\\image"},  // the dot of a folder name
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_STREQ(file_extension(c.path), c.extension) << c.path;
}

}  // namespace
