#include "firmware/hex.h"

#include <cstring>
#include <new>

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Value of one hexadecimal digit, -1 for any other character.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int hex_encode(const unsigned char* bytes, std::size_t count, char* output) {
    if (bytes == nullptr || output == nullptr || count == 0) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        output[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        output[2 * i + 1] = HEX_DIGITS[bytes[i] & 0x0F];
    }
    output[2 * count] = '\0';
    return 0;
}

std::optional<std::vector<unsigned char>> hex_decode(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::size_t length = std::strlen(text);
    if (length % 2 != 0) return std::nullopt;
    try {
        std::vector<unsigned char> bytes(length / 2);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            int high = digit_value(text[2 * i]);
            int low = digit_value(text[2 * i + 1]);
            if (high < 0 || low < 0) return std::nullopt;
            bytes[i] = static_cast<unsigned char>(high << 4 | low);
        }
        return bytes;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
