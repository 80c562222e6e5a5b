#include "firmware/hex.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(Hex, EncodeAndDecode) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    char text[9];
    ASSERT_EQ(hex_encode(bytes, sizeof bytes, text), 0);
    EXPECT_STREQ(text, "000fa5ff");

    using decoded = std::optional<std::vector<unsigned char>>;
    // clang-format off
    const struct {
        const char* text;
        decoded bytes;
    } cases[] = {
        {"00fFa5A5", std::vector<unsigned char>{0x00, 0xff, 0xa5, 0xa5}}, {"", std::vector<unsigned char>{}},
        {"abc", std::nullopt}, {"0g", std::nullopt}, {"g0", std::nullopt}, {" 0", std::nullopt},
        {"0:", std::nullopt},  {"@A", std::nullopt}, {"`a", std::nullopt}, {"fG", std::nullopt},
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(hex_decode(c.text), c.bytes) << c.text;
}

}  // namespace
