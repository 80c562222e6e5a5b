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

constexpr std::size_t FILE_CHUNK = 1024;   // package and raw file reads
constexpr std::size_t IMAGE_CHUNK = 4096;  // image entry reads
constexpr std::size_t DIGEST_READ = 128;   // the one read of "ornat.bh"
constexpr std::size_t DIGEST_TEXT_LENGTH = 2 * SHA256_DIGEST_SIZE;
constexpr std::size_t STORED_CHUNK = 65536;  // reads of an entry's stored data
constexpr int AES_256_STRENGTH = 3;

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

// One opened entry: its decrypted but still compressed content and the
// decoder that turns it into the entry's bytes.
struct entry_reader {
    std::vector<unsigned char> input;
    zip_decoder_ptr decoder;
    std::uint64_t declared_size = 0;
    std::uint32_t declared_crc = 0;  // 0: nothing to check (AE-2)
    std::uint64_t produced = 0;
    std::uint32_t crc = 0;
    bool finished = false;
    bool failed = false;  // damaged: every further read fails
};

// Reads up to `room` bytes of the entry's content. Returns the count, 0 at
// the end, or -1 when the content is damaged (the bytes of that call are
// not delivered): undecodable or truncated data, a size or CRC-32 that
// differs from the zip headers.
std::int64_t entry_read(entry_reader* reader, unsigned char* out, std::size_t room) {
    if (reader->failed) return -1;
    std::size_t total = 0;
    while (total < room && !reader->finished) {
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

// Reads the stored data of an AES-256 entry, checks the password and the
// authentication code and prepares its decoder. False when the entry does
// not open: unsupported method, unreadable data, wrong password. Damaged
// content opens, and its reads fail.
bool open_entry_content(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, std::size_t package_length,
                        entry_reader* reader) {
    if (!zip_decoder_supported(stat.comp_method) || stat.comp_size > package_length) return false;
    // Stored form: libzip neither decrypts nor decompresses, and the data is
    // read up to its size but never past it, where libzip would compare the
    // CRC of the encrypted bytes.
    zip_file_ptr file(zip_fopen_index(archive, index, ZIP_FL_ENCRYPTED));
    if (!file) return false;
    std::uint64_t remaining = stat.comp_size;
    try {
        reader->input.reserve(static_cast<std::size_t>(stat.comp_size));
        platform_advise_huge_pages(reader->input.data(), reader->input.capacity());
        while (remaining > 0) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, STORED_CHUNK));
            std::size_t old_size = reader->input.size();
            reader->input.resize(old_size + want);
            zip_int64_t count = zip_fread(file.get(), reader->input.data() + old_size, want);
            reader->input.resize(old_size + static_cast<std::size_t>(count > 0 ? count : 0));
            if (count <= 0) break;
            remaining -= static_cast<std::uint64_t>(count);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }

    int decrypted = winzip_aes_decrypt(&reader->input, AES_256_STRENGTH, FIRMWARE_PACKAGE_PASSWORD);
    if (decrypted != WINZIP_AES_OK && decrypted != WINZIP_AES_NOT_AUTHENTIC) return false;
    reader->declared_size = stat.size;
    reader->declared_crc = (stat.valid & ZIP_STAT_CRC) != 0 ? stat.crc : 0;
    if (decrypted == WINZIP_AES_OK && remaining == 0) {
        reader->decoder = zip_decoder_open(stat.comp_method, reader->input.data(), reader->input.size(), stat.size);
    }
    reader->failed = !reader->decoder;
    return true;
}

// Locates, checks and opens one of the two entries; prints the failure
// text and returns its code, or 0.
int open_entry(zip_t* archive, const entry_checks& checks, std::size_t package_length, entry_reader* reader) {
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

// Opens a package held in memory; the block must outlive the archive.
zip_ptr open_archive(const unsigned char* block, std::size_t length) {
    // libzip takes an empty block for an empty archive; here it is no zip.
    if (block == nullptr || length == 0) return nullptr;
    zip_error_t error;
    zip_error_init(&error);
    zip_ptr archive;
    zip_source_ptr source(zip_source_buffer_create(block, length, 0, &error));
    if (source) {
        archive.reset(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
        if (archive) source.release();  // the archive owns it now
    }
    zip_error_fini(&error);
    return archive;
}

// Appends `count` bytes to the image; false when it cannot grow.
bool append_image(firmware_record* record, const unsigned char* bytes, std::size_t count) {
    try {
        record->image.insert(record->image.end(), bytes, bytes + count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void publish_image(firmware_record* record) {
    record->data = record->image.data();
    record->size = record->image.size();
}

// Fills the image from `read` (a count of bytes, 0 or less at the end)
// until it ends or the image is longer than any the controller takes (the
// rest is not needed to refuse it), then hashes the image.
template <typename Read>
int read_image(firmware_record* record, sha256_context* context, Read read) {
    std::array<unsigned char, IMAGE_CHUNK> chunk;
    for (;;) {
        std::int64_t count = read(chunk.data(), chunk.size());
        if (count <= 0) break;
        if (!append_image(record, chunk.data(), static_cast<std::size_t>(count))) {
            publish_image(record);
            console_printf("%s", MEMORY_TEXT);
            return FIRMWARE_IMAGE_MEMORY;
        }
        if (record->image.size() > FIRMWARE_IMAGE_MAX) break;
    }
    publish_image(record);
    sha256_update(context, record->data, record->image.size());
    return FIRMWARE_OK;
}

// Reads the whole file into `block`; a file that cannot be opened gives an
// empty block. False when the file is too large or memory runs out.
bool read_package_file(const std::string& path, std::vector<unsigned char>* block) {
    file_ptr file(platform_fopen(path.c_str(), "rb"));
    if (!file) return true;
    try {
        // Read straight into the block, sized once from the file's length,
        // so the bytes are neither staged nor copied again as it grows.
        const std::int64_t size = platform_file_size(file.get());
        if (size > 0 && static_cast<std::uint64_t>(size) <= FIRMWARE_PACKAGE_MAX) {
            block->reserve(static_cast<std::size_t>(size));
            platform_advise_huge_pages(block->data(), block->capacity());
        }
        for (;;) {
            std::size_t old_size = block->size();
            std::size_t want = std::max<std::size_t>(block->capacity() - old_size, FILE_CHUNK);
            if (old_size + want > FIRMWARE_PACKAGE_MAX + 1) want = FIRMWARE_PACKAGE_MAX + 1 - old_size;
            block->resize(old_size + want);
            std::size_t count = std::fread(block->data() + old_size, 1, want, file.get());
            block->resize(old_size + count);
            if (block->size() > FIRMWARE_PACKAGE_MAX) return false;
            if (count < want) break;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void announce(const firmware_record* record) {
    console_printf("Preparing file...\n");
    log_printf_color(COLOR_BLACK, "Preparing file '%s'.", record != nullptr ? record->path.c_str() : "");
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

namespace {

// The preparation over a package in memory. When `owned` holds the block,
// it is released as soon as the image entry has been taken out of it, so
// that the package and the image are not both held while the image is
// decoded.
int prepare_package_block(firmware_record* record, const unsigned char* block, std::size_t length,
                          std::vector<unsigned char>* owned, std::optional<std::vector<unsigned char>>* expected,
                          sha256_context* context) {
    if (record == nullptr || expected == nullptr || context == nullptr || (block == nullptr && length > 0)) {
        console_printf("Parameters error.\n");
        return FIRMWARE_PARAMETERS;
    }
    zip_ptr archive = open_archive(block, length);
    if (!archive) {
        console_printf("File format is invalid (open).\n");
        return FIRMWARE_NOT_ZIP;
    }

    {
        entry_reader digest;
        int result = open_entry(archive.get(), DIGEST_CHECKS, length, &digest);
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
    int result = open_entry(archive.get(), IMAGE_CHECKS, length, &image);
    if (result != FIRMWARE_OK) return result;
    archive.reset();
    if (owned) {
        // The package's memory is not needed any more: it takes the image,
        // which saves the system from handing out fresh pages for it.
        record->image.swap(*owned);
        record->image.clear();
        std::vector<unsigned char>().swap(*owned);
    }
    try {
        record->image.reserve(
            static_cast<std::size_t>(std::min<std::uint64_t>(image.declared_size, FIRMWARE_IMAGE_MAX + IMAGE_CHUNK)));
        platform_advise_huge_pages(record->image.data(), record->image.capacity());
    } catch (const std::bad_alloc&) {
        // The image then grows as it is read, and fails there if it must.
    }
    // A damaged entry (-1) ends the image early; the digest comparison then
    // fails.
    return read_image(record, context,
                      [&](unsigned char* buffer, std::size_t n) { return entry_read(&image, buffer, n); });
}

}  // namespace

int firmware_prepare_package_block(firmware_record* record, const unsigned char* block, std::size_t length,
                                   std::optional<std::vector<unsigned char>>* expected, sha256_context* context) {
    return prepare_package_block(record, block, length, nullptr, expected, context);
}

int firmware_prepare_package(firmware_record* record, std::optional<std::vector<unsigned char>>* expected,
                             sha256_context* context) {
    announce(record);
    if (record == nullptr || expected == nullptr || context == nullptr) {
        console_printf("Parameters error.\n");
        return FIRMWARE_PARAMETERS;
    }
    std::vector<unsigned char> block;
    if (!read_package_file(record->path, &block)) {
        console_printf("%s", MEMORY_TEXT);
        return FIRMWARE_PACKAGE_MEMORY;
    }
    return prepare_package_block(record, block.data(), block.size(), &block, expected, context);
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
    return read_image(record, context, [&](unsigned char* buffer, std::size_t n) -> std::int64_t {
        if (!file) return 0;
        return static_cast<std::int64_t>(std::fread(buffer, 1, std::min(n, FILE_CHUNK), file.get()));
    });
}

int firmware_validate(const char* path, firmware_record* record, unsigned char digest[SHA256_DIGEST_SIZE]) {
    if (record == nullptr || digest == nullptr) {
        console_printf("%s", NOT_VALID_TEXT);
        return 1;
    }
    *record = firmware_record{};
    if (path != nullptr) record->path.assign(path, strnlen(path, FIRMWARE_PATH_MAX));
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
    // Without a digest (the crypto library failed) no file is valid.
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
    return valid ? 0 : 1;
}
