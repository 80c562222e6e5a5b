#include "support/tar_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

void put_octal(bytes& rec, std::size_t offset, std::size_t width, std::uint32_t value) {
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(value));
    std::memcpy(&rec[offset], text, std::min<std::size_t>(static_cast<std::size_t>(n), width - 1));
}

void put_text(bytes& rec, std::size_t offset, std::size_t width, const std::string& text) {
    std::memcpy(&rec[offset], text.data(), std::min(text.size(), width));
}

}  // namespace

bytes tar_header_record(const tar_entry& entry) {
    bytes rec(TAR_RECORD_SIZE, 0);
    put_text(rec, 0, 100, entry.name);
    put_octal(rec, 100, 8, entry.mode);
    put_octal(rec, 108, 8, entry.owner);
    if (entry.size_field.empty()) {
        put_octal(rec, 124, 12, static_cast<std::uint32_t>(entry.data.size()));
    } else {
        put_text(rec, 124, 12, entry.size_field);
    }
    put_octal(rec, 136, 12, entry.mtime);
    rec[156] = static_cast<unsigned char>(entry.type);
    put_text(rec, 157, 100, entry.linkname);
    unsigned sum = 8 * ' ';
    for (unsigned char byte : rec) {
        sum += byte;
    }
    std::snprintf(reinterpret_cast<char*>(&rec[148]), 8, "%06o", sum + (entry.bad_checksum ? 1 : 0));
    rec[155] = ' ';
    return rec;
}

bytes tar_image(const std::vector<tar_entry>& entries, tar_shape shape) {
    bytes out;
    for (const tar_entry& entry : entries) {
        append(out, tar_header_record(entry));
        append(out, entry.data);
        out.resize((out.size() + TAR_RECORD_SIZE - 1) / TAR_RECORD_SIZE * TAR_RECORD_SIZE, 0);
    }
    out.resize(out.size() + static_cast<std::size_t>(shape.end_records) * TAR_RECORD_SIZE, 0);
    out.resize(std::min(out.size(), shape.length));
    return out;
}

tar_block_reader::tar_block_reader(const unsigned char* data, std::size_t size)
    : copy(std::make_unique<unsigned char[]>(size == 0 ? 1 : size)) {
    if (size != 0) {
        std::memcpy(copy.get(), data, size);
    }
    block.data = copy.get();
    block.size = size;
    tar_mem_open_read(&tar, &block);
}
