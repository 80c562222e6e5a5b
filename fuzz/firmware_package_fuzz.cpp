// Runs the firmware package preparation on fuzzed input, in two modes
// chosen by the first byte:
//
//   even  the rest of the input is the package file;
//   odd   the rest is the stored content of "ornat.binary" inside a package
//         built here (WinZip AES-256 with the package password, a valid
//         "ornat.bh"), so that the decoders see fuzzed data behind a valid
//         authentication code, which random packages never reach.
//
// Layout of an odd input (offsets into the input):
//
//   offset  size  field
//   0       1     mode (odd)
//   1       1     compression method: index into 0, 8, 12, 14, 93
//   2       1     bit 0: AE-1 with a CRC-32 taken from offsets 3..6, else AE-2
//   3       4     CRC-32 for AE-1, little-endian
//   7       4     uncompressed size for the headers, little-endian, taken
//                 modulo 1 MiB (larger images only cost time: reading
//                 stops at the image limit, which the unit tests cover)
//   11      ...   compressed content
//
// Besides the sanitizers, the target checks that a package built here is
// always accepted as far as the preparation goes (result 0, a decoded
// expected digest) and that no image grows past the limit and one read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/firmware_record.h"
#include "firmware/firmware_package.h"
#include "firmware/sha256.h"
#include "firmware/winzip_aes.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr std::uint16_t METHODS[] = {0, 8, 12, 14, 93};
constexpr std::size_t CONTENT_AT = 11;
constexpr std::uint32_t SIZE_MODULUS = 1u << 20;

void put16(bytes& out, std::uint32_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

std::uint32_t get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

struct entry {
    std::string name;
    bytes data;  // stored (encrypted) data
    std::uint16_t method;
    std::uint32_t size;
    std::uint32_t crc;
    std::uint16_t vendor_version;
};

// The stored data of `length` content bytes; aborts when encryption fails.
bytes encrypt(const unsigned char* content, std::size_t length) {
    static const unsigned char salt[16] = {7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2};
    bytes data;
    if (winzip_aes_encrypt(content, length, 3, FIRMWARE_PACKAGE_PASSWORD, salt, &data) != WINZIP_AES_OK) {
        std::abort();
    }
    return data;
}

// A zip of WinZip AES-256 entries: local headers with data, the central
// directory and its end record (see firmware_package.h for the AES extra
// field).
bytes build_package(const entry* entries, std::size_t count) {
    bytes out;
    bytes central;
    for (std::size_t i = 0; i < count; ++i) {
        const entry& e = entries[i];
        const bytes& data = e.data;
        bytes fields;
        put16(fields, 51);    // version needed
        put16(fields, 1);     // flags: encrypted
        put16(fields, 99);    // method: WinZip AES
        put16(fields, 0);     // time
        put16(fields, 0x21);  // date
        put32(fields, e.crc);
        put32(fields, static_cast<std::uint32_t>(data.size()));
        put32(fields, e.size);
        put16(fields, static_cast<std::uint32_t>(e.name.size()));
        put16(fields, 11);    // extra field length
        bytes extra;
        put16(extra, 0x9901);            // WinZip AES
        put16(extra, 7);                 // data size
        put16(extra, e.vendor_version);  // AE-1 / AE-2
        extra.push_back('A');
        extra.push_back('E');
        extra.push_back(3);              // AES-256
        put16(extra, e.method);

        auto offset = static_cast<std::uint32_t>(out.size());
        put32(out, 0x04034b50);
        out.insert(out.end(), fields.begin(), fields.end());
        out.insert(out.end(), e.name.begin(), e.name.end());
        out.insert(out.end(), extra.begin(), extra.end());
        out.insert(out.end(), data.begin(), data.end());

        put32(central, 0x02014b50);
        put16(central, 51);  // version made by
        central.insert(central.end(), fields.begin(), fields.end());
        put16(central, 0);   // comment length
        put16(central, 0);   // disk
        put16(central, 0);   // internal attributes
        put32(central, 0);   // external attributes
        put32(central, offset);
        central.insert(central.end(), e.name.begin(), e.name.end());
        central.insert(central.end(), extra.begin(), extra.end());
    }
    auto central_offset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(count));
    put16(out, static_cast<std::uint32_t>(count));
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, central_offset);
    put16(out, 0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    bytes built;
    const unsigned char* package = data + 1;
    std::size_t package_length = size - 1;
    bool built_here = (data[0] & 1) != 0;
    if (built_here) {
        if (size < CONTENT_AT) return 0;
        // Key derivation is the slowest step: the digest entry is made once.
        static const unsigned char digest_text[] =
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        static const bytes digest_data = encrypt(digest_text, 64);
        const entry entries[] = {
            {"ornat.bh", digest_data, 0, 64, 0, 2},
            {"ornat.binary", encrypt(data + CONTENT_AT, size - CONTENT_AT), METHODS[data[1] % std::size(METHODS)],
             get32(data + 7) % SIZE_MODULUS, (data[2] & 1) != 0 ? get32(data + 3) : 0,
             static_cast<std::uint16_t>((data[2] & 1) != 0 ? 1 : 2)},
        };
        built = build_package(entries, std::size(entries));
        package = built.data();
        package_length = built.size();
    }

    firmware_record record;
    std::optional<std::vector<unsigned char>> expected;
    sha256_context context;
    sha256_init(&context);
    int result = firmware_prepare_package_block(&record, package, package_length, &expected, &context);
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_final(&context, digest);

    if (record.image.size() > FIRMWARE_IMAGE_MAX + 4096) std::abort();
    if (result == FIRMWARE_OK && (record.data != record.image.data() || record.size != record.image.size())) {
        std::abort();
    }
    if (built_here && (result != FIRMWARE_OK || !expected || expected->size() != SHA256_DIGEST_SIZE)) {
        std::abort();
    }
    return 0;
}
