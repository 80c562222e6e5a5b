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
#include <vector>

#include "common/firmware_record.h"
#include "firmware/firmware_package.h"
#include "firmware/sha256.h"
#include "support/aes_zip.h"

namespace {

constexpr std::uint16_t METHODS[] = {0, 8, 12, 14, 93};
constexpr std::size_t CONTENT_AT = 11;
constexpr std::uint32_t SIZE_MODULUS = 1u << 20;

std::uint32_t get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
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
        static const bytes digest_data = aes_zip_encrypt(
            to_bytes("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"), FIRMWARE_PACKAGE_PASSWORD);
        const bool ae1 = (data[2] & 1) != 0;
        built = aes_zip({
            {"ornat.bh", digest_data, 0, 64},
            {"ornat.binary", aes_zip_encrypt(bytes(data + CONTENT_AT, data + size), FIRMWARE_PACKAGE_PASSWORD),
             METHODS[data[1] % std::size(METHODS)], get32(data + 7) % SIZE_MODULUS, ae1 ? get32(data + 3) : 0,
             static_cast<std::uint16_t>(ae1 ? 1 : 2)},
        });
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
