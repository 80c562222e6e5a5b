// Tar records: header encoding and decoding, the archive walk and the file
// and memory streams. The record layout is described in tar.h.
#include "tar/tar.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace {

// Offsets and widths of the header fields.
constexpr std::size_t NAME_OFFSET = 0;
constexpr std::size_t NAME_LENGTH = 100;
constexpr std::size_t MODE_OFFSET = 100;
constexpr std::size_t MODE_LENGTH = 8;
constexpr std::size_t OWNER_OFFSET = 108;
constexpr std::size_t OWNER_LENGTH = 8;
constexpr std::size_t SIZE_OFFSET = 124;
constexpr std::size_t SIZE_LENGTH = 12;
constexpr std::size_t MTIME_OFFSET = 136;
constexpr std::size_t MTIME_LENGTH = 12;
constexpr std::size_t CHECKSUM_OFFSET = 148;
constexpr std::size_t CHECKSUM_LENGTH = 8;
constexpr std::size_t TYPE_OFFSET = 156;
constexpr std::size_t LINKNAME_OFFSET = 157;
constexpr std::size_t LINKNAME_LENGTH = 100;

// The end of every transfer and every seek target must fit the 32-bit
// position; anything beyond fails instead of wrapping around.
constexpr std::uint64_t POSITION_LIMIT = UINT32_MAX;

using record = unsigned char[TAR_RECORD_SIZE];

bool position_fits(std::uint64_t end) { return end <= POSITION_LIMIT; }

std::uint64_t round_up_record(std::uint64_t n) { return (n + TAR_RECORD_SIZE - 1) / TAR_RECORD_SIZE * TAR_RECORD_SIZE; }

// One read or write through the stream; the position moves by n whatever
// the callback answered. Moving no bytes always succeeds, so an empty member
// needs no buffer.
int stream_read(tar_archive* tar, void* buffer, std::uint32_t n) {
    if (n == 0) {
        return TAR_OK;
    }
    if (tar->read == nullptr || !position_fits(std::uint64_t{tar->pos} + n)) {
        return TAR_FAILURE;
    }
    const int rc = tar->read(tar, buffer, n);
    tar->pos += n;
    return rc;
}

int stream_write(tar_archive* tar, const void* bytes, std::uint32_t n) {
    if (n == 0) {
        return TAR_OK;
    }
    if (tar->write == nullptr || !position_fits(std::uint64_t{tar->pos} + n)) {
        return TAR_FAILURE;
    }
    const int rc = tar->write(tar, bytes, n);
    tar->pos += n;
    return rc;
}

// An octal number as "%o" reads it, but never past the field: foreign tars
// fill a field completely without a terminator. Leading blanks are skipped,
// reading stops at the first byte that is not an octal digit, and a value
// beyond 32 bits saturates so that it fails the position checks later.
std::uint32_t parse_octal(const unsigned char* field, std::size_t width) {
    std::size_t i = 0;
    while (i < width && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) {
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value * 8 + static_cast<unsigned>(field[i] - '0');
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<std::uint32_t>(value);
}

void write_octal(unsigned char* field, std::size_t width, std::uint32_t value) {
    // snprintf never writes past the field and always leaves a NUL in it.
    char text[24];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(value));
    const std::size_t length = std::strlen(text);
    if (length < width) {
        std::memcpy(field, text, length + 1);
    }
}

// Text up to the first NUL, at most `width` bytes, always terminated.
void copy_field_text(char* out, const unsigned char* field, std::size_t width) {
    std::size_t length = 0;
    while (length < width && field[length] != 0) {
        ++length;
    }
    std::memcpy(out, field, length);
    out[length] = '\0';
}

void put_field_text(unsigned char* field, const char* text, std::size_t width) {
    const std::size_t length = strnlen(text, width);
    std::memcpy(field, text, length);
}

// 256 plus every byte outside the checksum field: the checksum field counted
// as eight spaces.
std::uint32_t record_checksum(const unsigned char* rec) {
    std::uint32_t sum = 256;
    for (std::size_t i = 0; i < TAR_RECORD_SIZE; ++i) {
        if (i < CHECKSUM_OFFSET || i >= CHECKSUM_OFFSET + CHECKSUM_LENGTH) {
            sum += rec[i];
        }
    }
    return sum;
}

std::FILE* stream_file(tar_archive* tar) { return static_cast<std::FILE*>(tar->stream); }

int file_read(tar_archive* tar, void* buffer, std::uint32_t n) {
    if (tar == nullptr || buffer == nullptr || tar->stream == nullptr) {
        return TAR_FAILURE;
    }
    return std::fread(buffer, 1, n, stream_file(tar)) == n ? TAR_OK : TAR_READ_FAILED;
}

int file_write(tar_archive* tar, const void* bytes, std::uint32_t n) {
    if (tar == nullptr || bytes == nullptr || tar->stream == nullptr) {
        return TAR_FAILURE;
    }
    return std::fwrite(bytes, 1, n, stream_file(tar)) == n ? TAR_OK : TAR_WRITE_FAILED;
}

int file_seek(tar_archive* tar, std::uint32_t offset) {
    if (tar == nullptr || tar->stream == nullptr) {
        return TAR_FAILURE;
    }
    return std::fseek(stream_file(tar), static_cast<long>(offset), SEEK_SET) == 0 ? TAR_OK : TAR_SEEK_FAILED;
}

int file_close(tar_archive* tar) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    tar->file.reset();
    tar->stream = nullptr;
    return TAR_OK;
}

}  // namespace

int tar_open(tar_archive* tar, const char* path, const char* mode) {
    if (tar == nullptr || path == nullptr || mode == nullptr) {
        return TAR_FAILURE;
    }
    tar->file.reset();
    tar->stream = nullptr;
    tar->pos = 0;
    tar->remaining_data = 0;
    tar->last_header = 0;
    tar->read = file_read;
    tar->write = file_write;
    tar->seek = file_seek;
    tar->close = file_close;

    if (std::strchr(mode, 'r') != nullptr) {
        mode = "rb";
    } else if (std::strchr(mode, 'w') != nullptr) {
        mode = "wb";
    } else if (std::strchr(mode, 'a') != nullptr) {
        mode = "ab";
    }
    tar->file.reset(platform_fopen(path, mode));
    if (!tar->file) {
        return TAR_OPEN_FAILED;
    }
    tar->stream = tar->file.get();

    if (mode[0] == 'r') {
        tar_header header;
        const int rc = tar_read_header(tar, &header);
        if (rc != TAR_OK) {
            tar_close(tar);
            return rc;
        }
    }
    return TAR_OK;
}

int tar_close(tar_archive* tar) {
    if (tar == nullptr || tar->close == nullptr) {
        return TAR_FAILURE;
    }
    return tar->close(tar);
}

void tar_mem_open_read(tar_archive* tar, tar_mem_block* block) {
    if (tar == nullptr) {
        return;
    }
    tar->file.reset();
    tar->read = tar_mem_read;
    tar->write = nullptr;
    tar->seek = tar_mem_seek;
    tar->close = tar_mem_close;
    tar->stream = block;
    tar->pos = 0;
    tar->remaining_data = 0;
    tar->last_header = 0;
}

void tar_mem_open_write(tar_archive* tar, std::vector<unsigned char>* out) {
    if (tar == nullptr) {
        return;
    }
    tar->file.reset();
    tar->read = nullptr;
    tar->write = tar_mem_write;
    tar->seek = nullptr;
    tar->close = nullptr;
    tar->stream = out;
    tar->pos = 0;
    tar->remaining_data = 0;
    tar->last_header = 0;
    if (out != nullptr) {
        out->clear();
    }
}

int tar_mem_read(tar_archive* tar, void* buffer, std::uint32_t n) {
    if (tar == nullptr || buffer == nullptr || tar->stream == nullptr) {
        return TAR_FAILURE;
    }
    const auto* block = static_cast<const tar_mem_block*>(tar->stream);
    if (block->data == nullptr || std::uint64_t{tar->pos} + n > block->size) {
        return TAR_FAILURE;
    }
    std::memcpy(buffer, block->data + tar->pos, n);
    return TAR_OK;
}

int tar_mem_write(tar_archive* tar, const void* bytes, std::uint32_t n) {
    if (tar == nullptr || tar->stream == nullptr || (bytes == nullptr && n != 0)) {
        return TAR_FAILURE;
    }
    const std::uint64_t end = std::uint64_t{tar->pos} + n;
    if (!position_fits(end)) {
        return TAR_FAILURE;
    }
    auto* out = static_cast<std::vector<unsigned char>*>(tar->stream);
    if (out->size() < end) {
        try {
            out->resize(static_cast<std::size_t>(end));
        } catch (const std::bad_alloc&) {
            return TAR_WRITE_FAILED;
        }
    }
    if (n != 0) {
        std::memcpy(out->data() + tar->pos, bytes, n);
    }
    return TAR_OK;
}

int tar_mem_seek(tar_archive* tar, std::uint32_t /*offset*/) {
    if (tar == nullptr || tar->stream == nullptr || static_cast<const tar_mem_block*>(tar->stream)->data == nullptr) {
        return TAR_FAILURE;
    }
    return TAR_OK;
}

int tar_mem_close(tar_archive* tar) {
    if (tar == nullptr || tar->stream == nullptr || static_cast<const tar_mem_block*>(tar->stream)->data == nullptr) {
        return TAR_FAILURE;
    }
    return TAR_OK;
}

int tar_seek(tar_archive* tar, std::uint32_t offset) {
    if (tar == nullptr || tar->seek == nullptr) {
        return TAR_FAILURE;
    }
    const int rc = tar->seek(tar, offset);
    tar->pos = offset;
    return rc;
}

int tar_rewind(tar_archive* tar) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    tar->remaining_data = 0;
    return tar_seek(tar, 0);
}

int tar_read_header(tar_archive* tar, tar_header* header) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    record rec;
    tar->last_header = tar->pos;
    int rc = stream_read(tar, rec, TAR_RECORD_SIZE);
    if (rc != TAR_OK) {
        return rc;
    }
    rc = tar_seek(tar, tar->last_header);
    if (rc != TAR_OK) {
        return rc;
    }
    if (rec[CHECKSUM_OFFSET] == 0) {
        return TAR_NULL_RECORD;
    }
    if (record_checksum(rec) != parse_octal(rec + CHECKSUM_OFFSET, CHECKSUM_LENGTH)) {
        return TAR_BAD_CHECKSUM;
    }
    if (header != nullptr) {
        header->mode = parse_octal(rec + MODE_OFFSET, MODE_LENGTH);
        header->owner = parse_octal(rec + OWNER_OFFSET, OWNER_LENGTH);
        header->size = parse_octal(rec + SIZE_OFFSET, SIZE_LENGTH);
        header->mtime = parse_octal(rec + MTIME_OFFSET, MTIME_LENGTH);
        // The type byte is taken as a signed character, as the field is text.
        header->type = static_cast<std::uint32_t>(static_cast<int>(static_cast<signed char>(rec[TYPE_OFFSET])));
        copy_field_text(header->name, rec + NAME_OFFSET, NAME_LENGTH);
        copy_field_text(header->linkname, rec + LINKNAME_OFFSET, LINKNAME_LENGTH);
    }
    return TAR_OK;
}

int tar_next(tar_archive* tar) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    tar_header header;
    const int rc = tar_read_header(tar, &header);
    if (rc != TAR_OK) {
        return rc;
    }
    const std::uint64_t next = std::uint64_t{tar->pos} + round_up_record(header.size) + TAR_RECORD_SIZE;
    if (!position_fits(next)) {
        return TAR_FAILURE;
    }
    return tar_seek(tar, static_cast<std::uint32_t>(next));
}

int tar_find(tar_archive* tar, const char* name, tar_header* header) {
    if (tar == nullptr || name == nullptr) {
        return TAR_FAILURE;
    }
    int rc = tar_rewind(tar);
    if (rc != TAR_OK) {
        return rc;
    }
    tar_header current;
    while ((rc = tar_read_header(tar, &current)) == TAR_OK) {
        if (std::strcmp(current.name, name) == 0) {
            if (header != nullptr) {
                *header = current;
            }
            return TAR_OK;
        }
        // A walk that cannot advance (a size that passes the 32-bit
        // position) would otherwise read the same header for ever.
        const std::uint32_t before = tar->pos;
        const int next_rc = tar_next(tar);
        if (tar->pos <= before) {
            return next_rc != TAR_OK ? next_rc : TAR_FAILURE;
        }
    }
    return rc == TAR_NULL_RECORD ? TAR_NOT_FOUND : rc;
}

int tar_read_data(tar_archive* tar, void* buffer, std::uint32_t n) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    int rc = TAR_OK;
    if (tar->remaining_data == 0) {
        tar_header header;
        rc = tar_read_header(tar, &header);
        if (rc != TAR_OK) {
            return rc;
        }
        const std::uint64_t data_start = std::uint64_t{tar->pos} + TAR_RECORD_SIZE;
        if (!position_fits(data_start)) {
            return TAR_FAILURE;
        }
        rc = tar_seek(tar, static_cast<std::uint32_t>(data_start));
        if (rc != TAR_OK) {
            return rc;
        }
        tar->remaining_data = header.size;
    }
    // Reading past the member would run into the next header.
    if (n > tar->remaining_data) {
        return TAR_FAILURE;
    }
    rc = stream_read(tar, buffer, n);
    if (rc != TAR_OK) {
        return rc;
    }
    tar->remaining_data -= n;
    if (tar->remaining_data == 0) {
        return tar_seek(tar, tar->last_header);
    }
    return TAR_OK;
}

int tar_write_header(tar_archive* tar, const tar_header* header) {
    if (tar == nullptr || header == nullptr) {
        return TAR_FAILURE;
    }
    record rec = {};
    write_octal(rec + MODE_OFFSET, MODE_LENGTH, header->mode);
    write_octal(rec + OWNER_OFFSET, OWNER_LENGTH, header->owner);
    write_octal(rec + SIZE_OFFSET, SIZE_LENGTH, header->size);
    write_octal(rec + MTIME_OFFSET, MTIME_LENGTH, header->mtime);
    rec[TYPE_OFFSET] = header->type == 0 ? '0' : static_cast<unsigned char>(header->type);
    put_field_text(rec + NAME_OFFSET, header->name, NAME_LENGTH);
    put_field_text(rec + LINKNAME_OFFSET, header->linkname, LINKNAME_LENGTH);

    // Six digits, a NUL, then a space in the field's last byte.
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%06o", static_cast<unsigned>(record_checksum(rec)));
    std::memcpy(rec + CHECKSUM_OFFSET, checksum, 7);
    rec[CHECKSUM_OFFSET + 7] = ' ';

    tar->remaining_data = header->size;
    return stream_write(tar, rec, TAR_RECORD_SIZE);
}

int tar_write_file_header(tar_archive* tar, const char* name, std::uint32_t size) {
    if (tar == nullptr || name == nullptr) {
        return TAR_FAILURE;
    }
    tar_header header;
    header.mode = TAR_MODE_FILE;
    header.owner = 0;
    header.size = size;
    header.mtime = 0;
    header.type = '0';
    std::memcpy(header.name, name, strnlen(name, NAME_LENGTH));
    return tar_write_header(tar, &header);
}

int tar_write_data(tar_archive* tar, const void* bytes, std::uint32_t n) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    // More bytes than the header announced would shift every later member.
    if (n > tar->remaining_data) {
        return TAR_FAILURE;
    }
    int rc = stream_write(tar, bytes, n);
    if (rc != TAR_OK) {
        return rc;
    }
    tar->remaining_data -= n;
    if (tar->remaining_data == 0) {
        static const unsigned char zero = 0;
        while (tar->pos % TAR_RECORD_SIZE != 0) {
            rc = stream_write(tar, &zero, 1);
            if (rc != TAR_OK) {
                return rc;
            }
        }
    }
    return TAR_OK;
}

int tar_finalize(tar_archive* tar) {
    if (tar == nullptr) {
        return TAR_FAILURE;
    }
    static const unsigned char zero = 0;
    int rc = TAR_OK;
    for (std::uint32_t i = 0; i < 2 * TAR_RECORD_SIZE; ++i) {
        rc = stream_write(tar, &zero, 1);
        if (rc != TAR_OK) {
            break;
        }
    }
    return rc;
}

int tar_mem_member_read(const unsigned char* data, std::size_t size, const char* name,
                        std::vector<unsigned char>* out) {
    out->clear();
    tar_mem_block block{data, size};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    tar_header header;
    if (tar_find(&tar, name, &header) != TAR_OK) {
        return TAR_NOT_FOUND;
    }
    // A member cannot hold more bytes than the block after its header: one
    // that claims more is a read failure, without reserving its claimed size.
    const std::uint64_t data_end = std::uint64_t{tar.pos} + TAR_RECORD_SIZE + header.size;
    if (data_end > size) {
        return TAR_READ_FAILED;
    }
    try {
        out->resize(header.size);
    } catch (const std::bad_alloc&) {
        return TAR_FAILURE;
    }
    if (header.size != 0 && tar_read_data(&tar, out->data(), header.size) != TAR_OK) {
        out->clear();
        return TAR_READ_FAILED;
    }
    return TAR_OK;
}

int tar_mem_member_take(std::vector<unsigned char>* tar, const char* name) {
    tar_mem_block block{tar->data(), tar->size()};
    tar_archive reader;
    tar_mem_open_read(&reader, &block);
    tar_header header;
    if (tar_find(&reader, name, &header) != TAR_OK) {
        return TAR_NOT_FOUND;
    }
    const std::uint64_t data_start = std::uint64_t{reader.pos} + TAR_RECORD_SIZE;
    if (data_start + header.size > tar->size()) {
        return TAR_READ_FAILED;
    }
    tar->erase(tar->begin() + static_cast<std::ptrdiff_t>(data_start + header.size), tar->end());
    tar->erase(tar->begin(), tar->begin() + static_cast<std::ptrdiff_t>(data_start));
    return TAR_OK;
}

namespace {

// A field of a tar header that holds an octal number: leading spaces, one
// or more octal digits, then only NUL bytes and spaces.
bool octal_field(const unsigned char* field, std::size_t length) {
    std::size_t i = 0;
    while (i < length && field[i] == ' ') {
        ++i;
    }
    const std::size_t digits = i;
    while (i < length && field[i] >= '0' && field[i] <= '7') {
        ++i;
    }
    if (i == digits) {
        return false;
    }
    for (; i < length; ++i) {
        if (field[i] != '\0' && field[i] != ' ') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool tar_header_shaped(const unsigned char* data, std::size_t size) {
    return size >= TAR_RECORD_SIZE && octal_field(data + SIZE_OFFSET, SIZE_LENGTH) &&
           octal_field(data + CHECKSUM_OFFSET, CHECKSUM_LENGTH);
}

int tar_mem_list(const unsigned char* data, std::size_t size, std::vector<tar_header>* members, bool* last_cut) {
    members->clear();
    if (last_cut != nullptr) {
        *last_cut = false;
    }
    tar_mem_block block{data, size};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    bool cut = false;  // the data of the last member listed runs past the block
    for (;;) {
        tar_header header;
        int rc = tar_read_header(&tar, &header);
        if (rc == TAR_NULL_RECORD) {
            return TAR_OK;
        }
        if (rc != TAR_OK) {
            if (last_cut != nullptr) {
                *last_cut = cut;
            }
            return rc;
        }
        members->push_back(header);
        cut = std::uint64_t{tar.pos} + TAR_RECORD_SIZE + header.size > size;
        rc = tar_next(&tar);
        if (rc != TAR_OK) {
            if (last_cut != nullptr) {
                *last_cut = true;
            }
            return rc;
        }
    }
}
