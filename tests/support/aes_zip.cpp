#include "support/aes_zip.h"

#include "firmware/winzip_aes.h"

bytes aes_zip_encrypt(const bytes& content, const char* password) {
    constexpr int AES_256 = 3;
    bytes salt(winzip_aes_salt_size(AES_256));
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<unsigned char>(i * 13 + 1);
    bytes data;
    if (winzip_aes_encrypt(content.data(), content.size(), AES_256, password, salt.data(), &data) != WINZIP_AES_OK) {
        data.clear();
    }
    return data;
}

bytes aes_zip(const std::vector<aes_zip_entry>& entries) {
    bytes out;
    bytes central;
    for (const aes_zip_entry& entry : entries) {
        bytes extra;
        put16(extra, 0x9901);                // id: WinZip AES
        put16(extra, 7);                     // data size
        put16(extra, entry.vendor_version);  // AE-1 / AE-2
        append(extra, std::string("AE"));    // vendor id
        extra.push_back(3);                  // strength: AES-256
        put16(extra, entry.method);          // compression method of the content
        bytes fields;                        // shared by both headers, from "version needed"
        put16(fields, 51);                   // version needed: 5.1
        put16(fields, 1);                    // flags: encrypted
        put16(fields, 99);                   // method: WinZip AES
        put16(fields, 0);                    // time
        put16(fields, 0x21);                 // date: 1980-01-01
        put32(fields, entry.crc);
        put32(fields, static_cast<std::uint32_t>(entry.stored.size()));  // compressed size
        put32(fields, static_cast<std::uint32_t>(entry.size));           // uncompressed size
        put16(fields, static_cast<std::uint32_t>(entry.name.size()));
        put16(fields, static_cast<std::uint32_t>(extra.size()));

        const auto offset = static_cast<std::uint32_t>(out.size());
        put32(out, 0x04034b50);  // local header signature
        append(out, fields);
        append(out, entry.name);
        append(out, extra);
        append(out, entry.stored);

        put32(central, 0x02014b50);  // central directory signature
        put16(central, 51);          // version made by
        append(central, fields);
        put16(central, 0);       // comment length
        put16(central, 0);       // disk
        put16(central, 0);       // internal attributes
        put32(central, 0);       // external attributes
        put32(central, offset);  // local header offset
        append(central, entry.name);
        append(central, extra);
    }
    const auto central_offset = static_cast<std::uint32_t>(out.size());
    append(out, central);
    put32(out, 0x06054b50);                                  // end of central directory signature
    put16(out, 0);                                           // this disk
    put16(out, 0);                                           // central directory disk
    put16(out, static_cast<std::uint32_t>(entries.size()));  // entries here
    put16(out, static_cast<std::uint32_t>(entries.size()));  // entries in all
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, central_offset);
    put16(out, 0);  // comment length
    return out;
}
