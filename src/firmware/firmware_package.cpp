#include "firmware/firmware_package.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <zip.h>
#include <zlib.h>

#include "common/handles.h"
#include "firmware/hex.h"
#include "firmware/winzip_aes.h"
#include "firmware/zip_decoders.h"
#include "platform/platform.h"
#include "window/window.h"

namespace {

constexpr char NOT_VALID_TEXT[] = "FIRMWARE FILE IS NOT VALID!";
constexpr char MEMORY_TEXT[] = "memory error\n";

// Reading stops one byte past the largest image: that byte refuses it.
constexpr std::size_t IMAGE_LIMIT = FIRMWARE_IMAGE_MAX + 1;
constexpr std::size_t IMAGE_PIECE = 128 * 1024;  // image bytes read and hashed at a time
constexpr std::size_t IMAGE_PROBE = 4096;        // reads past the size a source gave
constexpr std::size_t DIGEST_READ = 128;         // the one read of "ornat.bh"
constexpr std::size_t DIGEST_TEXT_LENGTH = 2 * SHA256_DIGEST_SIZE;
constexpr std::size_t STORED_PIECE = 65536;  // reads of an entry's stored data
constexpr int AES_256_STRENGTH = 3;
constexpr std::size_t AES_HEADER_MAX = 32;  // room for any salt and the verification value

static_assert(STORED_PIECE >= ZIP_DECODER_FIRST_PIECE);

// The messages and result codes of one of the two entries.
struct entry_checks {
    const char* name;
    int missing_code;
    const char* missing_text;
    const char* info_text;    // with FIRMWARE_ENTRY_INFO
    const char* cipher_text;  // with FIRMWARE_NOT_AES256
    int open_code;
    const char* open_text;
};

// clang-format off
constexpr entry_checks DIGEST_CHECKS = {
    "ornat.bh", FIRMWARE_NO_DIGEST, "File format is invalid (bh).\n",
    "File format is invalid (ppbh).\n", "File format is invalid (ppfbh).\n",
    FIRMWARE_DIGEST_OPEN, "File format is invalid (pbh).\n",
};

constexpr entry_checks IMAGE_CHECKS = {
    "ornat.binary", FIRMWARE_NO_IMAGE, "File format is invalid (binary).\n",
    "File format is invalid (ppb).\n", "File format is invalid (ppfb).\n",
    FIRMWARE_IMAGE_OPEN, "File format is invalid (pbh).\n",
};
// clang-format on

// One opened entry, read piece by piece: each piece of its stored data is
// decrypted in `piece` and decoded from there, so that neither the stored
// nor the compressed content is ever held whole.
struct entry_reader {
    zip_file_ptr file;  // the stored data, past the salt and verification value
    winzip_aes_stream_ptr cipher;
    std::vector<unsigned char> piece;
    std::uint64_t ciphertext_left = 0;  // not read yet
    bool all_given = false;             // the decoder has the last piece
    zip_decoder_ptr decoder;
    std::uint64_t declared_size = 0;
    std::uint32_t declared_crc = 0;  // 0: nothing to check (AE-2)
    std::uint64_t produced = 0;
    std::uint32_t crc = 0;
    bool finished = false;
    bool failed = false;  // damaged: every further read fails
};

// Reads `want` bytes of an entry's stored data; fewer only at its end or
// on an error.
std::size_t read_stored(zip_file_t* file, unsigned char* out, std::size_t want) {
    std::size_t total = 0;
    while (total < want) {
        zip_int64_t count = zip_fread(file, out + total, want - total);
        if (count <= 0) break;
        total += static_cast<std::size_t>(count);
    }
    return total;
}

// Reads and decrypts the next piece of the ciphertext and gives it to the
// decoder.
bool give_next_piece(entry_reader* reader) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(reader->ciphertext_left, reader->piece.size()));
    if (read_stored(reader->file.get(), reader->piece.data(), want) != want ||
        !winzip_aes_decrypt_piece(reader->cipher.get(), reader->piece.data(), want)) {
        return false;
    }
    reader->ciphertext_left -= want;
    reader->all_given = reader->ciphertext_left == 0;
    zip_decoder_feed(reader->decoder.get(), reader->piece.data(), want, reader->all_given);
    return true;
}

// Reads up to `room` bytes of the entry's content. Returns the count, 0 at
// the end, or -1 when the content is damaged (the bytes of that call are
// not delivered): unreadable, undecodable or truncated data, a size or
// CRC-32 that differs from the zip headers.
std::int64_t entry_read(entry_reader* reader, unsigned char* out, std::size_t room) {
    if (reader->failed) return -1;
    std::size_t total = 0;
    while (total < room && !reader->finished) {
        if (!reader->all_given && zip_decoder_input_left(reader->decoder.get()) == 0 && !give_next_piece(reader)) {
            reader->failed = true;
            return -1;
        }
        std::size_t written = 0;
        int step = zip_decoder_step(reader->decoder.get(), out + total, room - total, &written);
        reader->produced += written;
        if (step == ZIP_DECODE_FAILED || reader->produced > reader->declared_size) {
            reader->failed = true;
            return -1;
        }
        if (written > 0) {
            reader->crc = static_cast<std::uint32_t>(crc32(reader->crc, out + total, static_cast<uInt>(written)));
        }
        total += written;
        if (step == ZIP_DECODE_END) {
            reader->finished = true;
            if (reader->produced != reader->declared_size ||
                (reader->declared_crc != 0 && reader->crc != reader->declared_crc)) {
                reader->failed = true;
                return -1;
            }
        }
    }
    return static_cast<std::int64_t>(total);
}

// Gives the `ciphertext` bytes after the header to the authentication code
// and compares it with the code stored after them: WINZIP_AES_OK,
// WINZIP_AES_NOT_AUTHENTIC (also for data that ends early) or
// WINZIP_AES_CRYPTO_FAILED.
int authenticate(zip_file_t* file, std::uint64_t ciphertext, entry_reader* reader) {
    for (std::uint64_t left = ciphertext; left > 0;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, reader->piece.size()));
        if (read_stored(file, reader->piece.data(), want) != want) return WINZIP_AES_NOT_AUTHENTIC;
        if (!winzip_aes_authenticate(reader->cipher.get(), reader->piece.data(), want)) {
            return WINZIP_AES_CRYPTO_FAILED;
        }
        left -= want;
    }
    std::array<unsigned char, WINZIP_AES_CODE_SIZE> code;
    if (read_stored(file, code.data(), code.size()) != code.size()) return WINZIP_AES_NOT_AUTHENTIC;
    return winzip_aes_check(reader->cipher.get(), code.data());
}

// Opens the stored data of an AES-256 entry, checks the password and the
// authentication code over all of it, then opens it once more for its
// content to be decrypted and decoded as it is read. False when the entry
// does not open: unsupported method, unreadable data, wrong password.
// Damaged content opens, and its reads fail.
bool open_entry_content(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, std::uint64_t package_length,
                        entry_reader* reader) {
    if (!zip_decoder_supported(stat.comp_method) || stat.comp_size > package_length) return false;
    // Stored form: libzip neither decrypts nor decompresses, and the data is
    // read up to its size but never past it, where libzip would compare the
    // CRC of the encrypted bytes.
    zip_file_ptr file(zip_fopen_index(archive, index, ZIP_FL_ENCRYPTED));
    if (!file) return false;
    const std::size_t header_size = winzip_aes_salt_size(AES_256_STRENGTH) + WINZIP_AES_VERIFIER_SIZE;
    std::array<unsigned char, AES_HEADER_MAX> header{};
    // Stored data too short for a header is refused without one.
    const bool has_room = stat.comp_size >= header_size + WINZIP_AES_CODE_SIZE;
    if (has_room && read_stored(file.get(), header.data(), header_size) != header_size) return false;
    if (winzip_aes_open(header.data(), stat.comp_size, AES_256_STRENGTH, FIRMWARE_PACKAGE_PASSWORD, &reader->cipher) !=
        WINZIP_AES_OK) {
        return false;
    }
    const std::uint64_t ciphertext = stat.comp_size - header_size - WINZIP_AES_CODE_SIZE;
    try {
        reader->piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(ciphertext, STORED_PIECE)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const int checked = authenticate(file.get(), ciphertext, reader);
    if (checked == WINZIP_AES_CRYPTO_FAILED) return false;
    file.reset();

    reader->declared_size = stat.size;
    reader->declared_crc = (stat.valid & ZIP_STAT_CRC) != 0 ? stat.crc : 0;
    if (checked == WINZIP_AES_OK) {
        // The first pass kept nothing: the content is read again, now to be
        // decrypted.
        reader->file.reset(zip_fopen_index(archive, index, ZIP_FL_ENCRYPTED));
        if (reader->file && read_stored(reader->file.get(), header.data(), header_size) == header_size) {
            reader->ciphertext_left = ciphertext;
            reader->decoder = zip_decoder_open(stat.comp_method, stat.size);
        }
    }
    reader->failed = !reader->decoder;
    return true;
}

// Locates, checks and opens one of the two entries; prints the failure
// text and returns its code, or 0.
int open_entry(zip_t* archive, const entry_checks& checks, std::uint64_t package_length, entry_reader* reader) {
    zip_int64_t index = zip_name_locate(archive, checks.name, ZIP_FL_ENC_RAW);
    if (index < 0) {
        console_printf("%s", checks.missing_text);
        return checks.missing_code;
    }
    constexpr zip_uint64_t needed =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0 || (stat.valid & needed) != needed) {
        console_printf("%s", checks.info_text);
        return FIRMWARE_ENTRY_INFO;
    }
    if (stat.encryption_method != ZIP_EM_AES_256) {
        console_printf("%s", checks.cipher_text);
        return FIRMWARE_NOT_AES256;
    }
    if (!open_entry_content(archive, static_cast<zip_uint64_t>(index), stat, package_length, reader)) {
        console_printf("%s", checks.open_text);
        return checks.open_code;
    }
    return FIRMWARE_OK;
}

// Opens an archive over `source`, which it takes (null: none).
zip_ptr open_archive(zip_source_t* source) {
    zip_source_ptr owned(source);
    if (!owned) return nullptr;
    zip_error_t error;
    zip_error_init(&error);
    zip_ptr archive(zip_open_from_source(owned.get(), ZIP_RDONLY, &error));
    if (archive) owned.release();  // the archive owns it now
    zip_error_fini(&error);
    return archive;
}

void publish_image(firmware_record* record) {
    record->data = record->image.data();
    record->size = record->image.size();
}

// Reserves room for the bytes the image's source says it holds (at most
// IMAGE_LIMIT), so that the image is read straight into place and never
// moves. When memory runs out here, the image grows as it is read instead,
// and fails there if it must.
void reserve_image(std::vector<unsigned char>* image, std::uint64_t expected) {
    try {
        image->reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected, IMAGE_LIMIT)));
        platform_advise_huge_pages(image->data(), image->capacity());
    } catch (const std::bad_alloc&) {
        // Nothing reserved.
    }
}

// Reads the image from `read` (which writes up to the count it is asked for
// and returns the count written, 0 or less at the end) into record->image,
// reserved from `expected`, and hashes each piece as it arrives. Reading
// ends with the source or at IMAGE_LIMIT bytes (the rest is not needed to
// refuse the image). Past the reserved room (a source that holds more than
// it said) the image grows only by the bytes actually read.
// Keeps the bytes of the information block as the image passes by.
void keep_info_block(firmware_record* record, std::uint64_t at, const unsigned char* bytes, std::size_t n) {
    const std::uint64_t begin = std::max<std::uint64_t>(at, FIRMWARE_INFO_OFFSET);
    const std::uint64_t end = std::min<std::uint64_t>(at + n, FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE);
    if (begin < end) {
        std::memcpy(record->info_block.data() + (begin - FIRMWARE_INFO_OFFSET), bytes + (begin - at),
                    static_cast<std::size_t>(end - begin));
    }
}

// read_image into the record's spool: each piece is hashed and written to
// the temporary file, so that memory holds one piece of the image at a time.
template <typename Read>
int spool_image(firmware_record* record, sha256_context* context, Read read) {
    std::vector<unsigned char> piece(IMAGE_PIECE);
    std::uint64_t total = 0;
    int result = FIRMWARE_OK;
    while (total < IMAGE_LIMIT) {
        const std::int64_t count = read(piece.data(), std::min<std::uint64_t>(piece.size(), IMAGE_LIMIT - total));
        if (count <= 0) break;
        const std::size_t n = static_cast<std::size_t>(count);
        keep_info_block(record, total, piece.data(), n);
        sha256_update(context, piece.data(), n);
        if (!output_file_write(record->spool.get(), piece.data(), n)) {
            console_printf("%s", MEMORY_TEXT);
            result = FIRMWARE_IMAGE_MEMORY;
            break;
        }
        total += n;
    }
    record->data = nullptr;
    record->size = total;
    return result;
}

template <typename Read>
int read_image(firmware_record* record, std::uint64_t expected, sha256_context* context, Read read) {
    if (record->spool) return spool_image(record, context, read);
    std::vector<unsigned char>& image = record->image;
    reserve_image(&image, expected);
    std::array<unsigned char, IMAGE_PROBE> probe;
    int result = FIRMWARE_OK;
    while (image.size() < IMAGE_LIMIT) {
        const std::size_t filled = image.size();
        const std::size_t room = std::min(image.capacity(), IMAGE_LIMIT) - filled;
        std::int64_t count = 0;
        if (room > 0) {
            const std::size_t want = std::min(room, IMAGE_PIECE);
            image.resize(filled + want);  // within the capacity: no allocation
            count = read(image.data() + filled, want);
            image.resize(filled + static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
        } else {
            count = read(probe.data(), std::min(probe.size(), IMAGE_LIMIT - filled));
            try {
                if (count > 0) image.insert(image.end(), probe.data(), probe.data() + count);
            } catch (const std::bad_alloc&) {
                console_printf("%s", MEMORY_TEXT);
                result = FIRMWARE_IMAGE_MEMORY;
                break;
            }
        }
        if (count <= 0) break;
        sha256_update(context, image.data() + filled, static_cast<std::size_t>(count));
    }
    publish_image(record);
    return result;
}

// The checks and reads of an opened package (null: no zip archive) of
// `length` bytes.
int read_package(firmware_record* record, zip_t* archive, std::uint64_t length,
                 std::optional<std::vector<unsigned char>>* expected, sha256_context* context) {
    if (archive == nullptr) {
        console_printf("File format is invalid (open).\n");
        return FIRMWARE_NOT_ZIP;
    }
    {
        entry_reader digest;
        int result = open_entry(archive, DIGEST_CHECKS, length, &digest);
        if (result != FIRMWARE_OK) return result;
        // One read into a zeroed buffer: the zero after the 64 characters
        // ends the text.
        std::array<unsigned char, DIGEST_READ + 1> text{};
        if (entry_read(&digest, text.data(), DIGEST_READ) != static_cast<std::int64_t>(DIGEST_TEXT_LENGTH)) {
            console_printf("File content length is invalid (bh).\n");
            return FIRMWARE_DIGEST_LENGTH;
        }
        *expected = hex_decode(reinterpret_cast<const char*>(text.data()));
    }

    entry_reader image;
    int result = open_entry(archive, IMAGE_CHECKS, length, &image);
    if (result != FIRMWARE_OK) return result;
    result = read_image(record, image.declared_size, context,
                        [&](unsigned char* buffer, std::size_t n) { return entry_read(&image, buffer, n); });
    // A damaged entry (-1) ends the image early and leaves it without a
    // digest, so that the digest comparison fails even where the damage
    // shows only after the bytes the headers declare.
    if (image.failed) sha256_discard(context);
    return result;
}

void announce(const firmware_record* record) {
    console_printf("Preparing file...\n");
    log_printf_color(COLOR_BLACK, "Preparing file '%s'.", record != nullptr ? record->path.c_str() : "");
}

// An image read from a file goes to a temporary file, in the folder of the
// tool's lock files (the user's runtime folder, else the temporary folder);
// where none can be made, it is held in memory.
void open_spool(firmware_record* record) {
    record->spool = std::make_unique<output_file>();
    const std::string name = platform_join_path(platform_lock_folder(), "ornat-cli-firmware.image");
    if (!output_file_open(record->spool.get(), name)) record->spool.reset();
}

// The spooled image, written out and opened again for the upload to read.
bool open_spool_reader(firmware_record* record) {
    output_file* spool = record->spool.get();
    if (std::fflush(spool->file.get()) != 0) return false;
    record->spool_reader.reset(platform_fopen(spool->temp.c_str(), "rb"));
    return record->spool_reader != nullptr;
}

enum class file_kind { unsupported, package, raw };

struct extension_kind {
    const char* extension;
    file_kind kind;
};

constexpr extension_kind FILE_KINDS[] = {
    {"bin", file_kind::package},
    {"binary", file_kind::raw},
};

file_kind kind_of(const char* extension) {
    for (const extension_kind& entry : FILE_KINDS) {
        if (std::strcmp(entry.extension, extension) == 0) return entry.kind;
    }
    return file_kind::unsupported;
}

}  // namespace

int firmware_prepare_package_block(firmware_record* record, const unsigned char* block, std::size_t length,
                                   std::optional<std::vector<unsigned char>>* expected, sha256_context* context) {
    if (record == nullptr || expected == nullptr || context == nullptr || (block == nullptr && length > 0)) {
        console_printf("Parameters error.\n");
        return FIRMWARE_PARAMETERS;
    }
    // libzip takes an empty block for an empty archive; here it is no zip.
    zip_ptr archive;
    if (length > 0) archive = open_archive(zip_source_buffer_create(block, length, 0, nullptr));
    return read_package(record, archive.get(), length, expected, context);
}

int firmware_prepare_package(firmware_record* record, std::optional<std::vector<unsigned char>>* expected,
                             sha256_context* context) {
    announce(record);
    if (record == nullptr || expected == nullptr || context == nullptr) {
        console_printf("Parameters error.\n");
        return FIRMWARE_PARAMETERS;
    }
    // A file that cannot be opened, is empty or is not a regular file (it
    // must be read at the places its directory names) is no zip.
    file_ptr file(platform_fopen(record->path.c_str(), "rb"));
    const std::int64_t size = file ? platform_file_size(file.get()) : -1;
    if (size > static_cast<std::int64_t>(FIRMWARE_PACKAGE_MAX)) {
        console_printf("%s", MEMORY_TEXT);
        return FIRMWARE_PACKAGE_MEMORY;
    }
    zip_ptr archive;
    if (size > 0) {
        zip_source_t* source = zip_source_filep_create(file.get(), 0, size, nullptr);
        if (source != nullptr) file.release();  // the source closes it
        archive = open_archive(source);
    }
    return read_package(record, archive.get(), size > 0 ? static_cast<std::uint64_t>(size) : 0, expected, context);
}

int firmware_prepare_raw(firmware_record* record, sha256_context* context) {
    announce(record);
    if (record == nullptr || context == nullptr) {
        console_printf("Parameters error.\n");
        return FIRMWARE_PARAMETERS;
    }
    // A file that cannot be opened gives an empty image, which the
    // information check then refuses.
    file_ptr file(platform_fopen(record->path.c_str(), "rb"));
    const std::int64_t size = file ? platform_file_size(file.get()) : 0;
    return read_image(record, size > 0 ? static_cast<std::uint64_t>(size) : 0, context,
                      [&](unsigned char* buffer, std::size_t n) -> std::int64_t {
                          if (!file) return 0;
                          return static_cast<std::int64_t>(std::fread(buffer, 1, n, file.get()));
                      });
}

int firmware_validate(const char* path, firmware_record* record, unsigned char digest[SHA256_DIGEST_SIZE]) {
    if (record == nullptr || digest == nullptr) {
        console_printf("%s", NOT_VALID_TEXT);
        return 1;
    }
    *record = firmware_record{};
    if (path != nullptr) record->path.assign(path, strnlen(path, FIRMWARE_PATH_MAX));
    open_spool(record);
    sha256_context context;
    sha256_init(&context);
    file_kind kind = kind_of(file_extension(record->path.c_str()));
    console_printf("\n");

    std::optional<std::vector<unsigned char>> expected;
    int result = 0;
    switch (kind) {
        case file_kind::package: result = firmware_prepare_package(record, &expected, &context); break;
        case file_kind::raw: result = firmware_prepare_raw(record, &context); break;
        case file_kind::unsupported: console_printf("File format not supported.\n"); break;
    }
    // Without a digest (the crypto library failed, the image entry is
    // damaged) no file is valid.
    const bool hashed = sha256_final(&context, digest) == 0;

    bool valid = false;
    if (kind == file_kind::raw) {
        valid = result == 0 && hashed;
    } else if (kind == file_kind::package && result == 0 && expected) {
        // A text with a NUL inside decodes to fewer bytes: not this digest.
        valid = hashed && expected->size() == SHA256_DIGEST_SIZE &&
                std::memcmp(expected->data(), digest, SHA256_DIGEST_SIZE) == 0;
        if (!valid) console_printf("File is invalid (h).\n");
    }
    if (!valid) console_printf("%s", NOT_VALID_TEXT);
    if (valid && record->spool && !open_spool_reader(record)) {
        console_printf("%s%s", MEMORY_TEXT, NOT_VALID_TEXT);
        return 1;
    }
    return valid ? 0 : 1;
}

const char* file_extension(const char* path) {
    if (path == nullptr) return "";
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr || dot == path) return "";
    return dot + 1;
}
