#include "firmware/hex.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(Hex, EncodeWritesLowercasePairsAndNul) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    char text[9];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(hex_encode(bytes, sizeof bytes, text), 0);
    EXPECT_STREQ(text, "000fa5ff");
}

TEST(Hex, EncodeRefusesMissingArgumentsAndZeroCount) {
    const unsigned char bytes[] = {0x12};
    char text[3] = {'x', 'x', 'x'};
    EXPECT_EQ(hex_encode(nullptr, 1, text), -1);
    EXPECT_EQ(hex_encode(bytes, 1, nullptr), -1);
    EXPECT_EQ(hex_encode(bytes, 0, text), -1);
    EXPECT_EQ(text[0], 'x');  // nothing written
}

TEST(Hex, DecodeAcceptsEitherCase) {
    auto bytes = hex_decode("00fFa5A5");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<unsigned char>{0x00, 0xff, 0xa5, 0xa5}));
    auto empty = hex_decode("");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(Hex, DecodeRefusesOddLengthOtherCharactersAndMissingText) {
    EXPECT_FALSE(hex_decode(nullptr));
    EXPECT_FALSE(hex_decode("abc"));
    for (const char* text : {"0g", "g0", " 0", "0:", "@A", "`a", "fG"}) {
        EXPECT_FALSE(hex_decode(text)) << text;
    }
}

TEST(Hex, FileExtensionIsTextAfterLastDotOfWholePath) {
    struct case_t {
        const char* path;
        const char* extension;
    };
    const case_t cases[] = {
        {"fw.bin", "bin"},
        {"fw.BIN", "BIN"},
        {"dir/a.b.binary", "binary"},
        {"firmware", ""},
        {".bin", ""},                       // the only dot is the first character
        {"fw.", ""},
        {"C:\\fw.v2\\image", "v2\\image"},  // the dot of a folder name
    };
    for (const case_t& c : cases) {
        const char* extension = file_extension(c.path);
        EXPECT_STREQ(extension, c.extension) << c.path;
        if (*c.extension != '\0') {
            EXPECT_EQ(extension, c.path + std::strlen(c.path) - std::strlen(c.extension));
        }
    }
    EXPECT_STREQ(file_extension(nullptr), "");
}

}  // namespace
