// Firmware file validation: reads the image of a firmware package or of a
// raw image file into a firmware_record, computes its SHA-256 digest and,
// for a package, compares it with the digest the package carries.
//
// Firmware package (extension "bin"): a zip archive holding two entries,
// looked up by their exact names:
//
//   "ornat.bh"      64 hexadecimal characters (either case, no line end):
//                   the SHA-256 digest of the image
//   "ornat.binary"  the firmware image
//
// Both entries must be WinZip AES-256 encrypted with the fixed password
// FIRMWARE_PACKAGE_PASSWORD (see winzip_aes.h for the encrypted data).
// Such an entry carries compression method 99 in its zip headers and the
// extra field 0x9901 (offsets within the field's data):
//
//   offset  size  field
//   0       2     vendor version: 1 (AE-1, CRC-32 stored) or 2 (AE-2, CRC 0)
//   2       2     vendor id "AE"
//   4       1     strength: 1 AES-128, 2 AES-192, 3 AES-256
//   5       2     compression method of the content
//
// Other entries are ignored. The content may be stored (0), deflated (8),
// bzip2 (12), LZMA (14) or zstd (93) compressed. An LZMA content starts
// with its own header:
//
//   offset  size  field
//   0       1     LZMA SDK major version
//   1       1     LZMA SDK minor version
//   2       2     properties size, little-endian: 5
//   4       1     properties: lc + 9 * (lp + 5 * pb)
//   5       4     dictionary size, little-endian
//   9       ...   LZMA1 stream, with or without an end marker
//
// The archive structure comes from libzip, which reads from the file only
// what it needs. Every entry is read in its stored (encrypted) form, piece
// by piece and twice: first for its password and authentication code, which
// are checked before any byte of it is used, then to be decrypted and
// decompressed (zip_decoders.h) straight into the image. The CRC-32 is
// checked where the entry carries one (not 0). Of the package, only the
// image is ever held whole in memory.
//
// Raw image (extension "binary"): the whole file is the image, read
// straight into its buffer.
//
// Every message goes to the console, except the log line
// "Preparing file '%s'.".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/firmware_record.h"
#include "firmware/sha256.h"

constexpr char FIRMWARE_PACKAGE_PASSWORD[] = "5d0c7a93e1b24f68a07c3e9d52f1b846c09a7e3d";
// Largest image the controller takes; reading stops once an image is longer.
constexpr std::uint64_t FIRMWARE_IMAGE_MAX = 0xFFFFFE;
// Largest package file taken.
constexpr std::size_t FIRMWARE_PACKAGE_MAX = 256u * 1024 * 1024;

// Results of the preparations, in the order the checks are made.
enum : int {
    FIRMWARE_OK = 0,
    FIRMWARE_PARAMETERS = -10,     // "Parameters error.\n"
    FIRMWARE_PACKAGE_MEMORY = -2,  // "memory error\n": package file too large
    FIRMWARE_NOT_ZIP = -9,         // "File format is invalid (open).\n"
    FIRMWARE_NO_DIGEST = -8,       // "File format is invalid (bh).\n"
    FIRMWARE_ENTRY_INFO = -13,     // "... (ppbh).\n" / "... (ppb).\n"
    FIRMWARE_NOT_AES256 = -15,     // "... (ppfbh).\n" / "... (ppfb).\n"
    FIRMWARE_DIGEST_OPEN = -11,    // "File format is invalid (pbh).\n"
    FIRMWARE_DIGEST_LENGTH = -7,   // "File content length is invalid (bh).\n"
    FIRMWARE_NO_IMAGE = -4,        // "File format is invalid (binary).\n"
    FIRMWARE_IMAGE_OPEN = -12,     // "File format is invalid (pbh).\n"
    FIRMWARE_IMAGE_MEMORY = -3,    // "memory error\n": the image cannot grow
};

// Reads the package at record->path: prints "Preparing file...\n" and the
// log line, opens the file and goes on as firmware_prepare_package_block,
// reading from the file instead of a block.
// On 0 the image is in record->image (data/size over it) and has been fed
// to `context`; *expected holds the digest decoded from "ornat.bh", or
// none when that text is not hexadecimal.
int firmware_prepare_package(firmware_record* record, std::optional<std::vector<unsigned char>>* expected,
                             sha256_context* context);

// The checks and reads of a package already in memory (`length` bytes at
// `block`); prints only the failure texts listed above.
int firmware_prepare_package_block(firmware_record* record, const unsigned char* block, std::size_t length,
                                   std::optional<std::vector<unsigned char>>* expected, sha256_context* context);

// Reads the raw image at record->path. A file that cannot be opened gives
// an empty image and 0.
int firmware_prepare_raw(firmware_record* record, sha256_context* context);

// The whole validation of the file at `path` (null: no file): zeroes the
// record, copies the path (cut to 260 characters), prepares the image by
// its extension ("bin" package, "binary" raw image, anything else is not
// supported) and writes the image digest. Returns 0 when the file is valid,
// 1 after printing "FIRMWARE FILE IS NOT VALID!" (no line end).
int firmware_validate(const char* path, firmware_record* record, unsigned char digest[SHA256_DIGEST_SIZE]);
// The kind of a firmware file comes from its extension: the text after the
// last '.' of the whole path (folders included), or "" when the path has no
// '.' or its only/last '.' is its first character. The result points into
// `path` (or at a static "" for a missing path).
const char* file_extension(const char* path);
