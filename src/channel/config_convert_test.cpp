#include "channel/config_convert.h"

#include <gtest/gtest.h>

#include <cstring>

#include "channel/channel_file.h"

namespace {

// The channel file layouts written out as numbers (entry offsets from a
// device entry's start; 0: no such field), so that a wrong table in the
// code fails the tests. Device entries start at 60 in every layout; layout 1
// (version 0 or 1) has its extra area of 64 x 12 bytes at 10396.
struct layout_offsets {
    std::uint32_t size, entry, groups, trailer, type, type_2, name, after_name, kept_u32, kept_16;
};
// clang-format off
const layout_offsets LAYOUT[] = {
    {11168, 152, 9788, 11164, 42, 0, 94, 127, 128, 136},  // version 0: layout 1
    {11168, 152, 9788, 11164, 42, 0, 94, 127, 128, 136},
    {10912, 160, 10300, 10908, 44, 45, 106, 139, 140, 144},
    {7072, 100, 6460, 7068, 43, 44, 45, 78, 80, 84},
};
// clang-format on

// A source image whose every byte tells where it came from, so that each
// destination byte can be traced back to its source offset.
std::vector<unsigned char> traced_image(std::uint32_t size, std::uint32_t version, unsigned salt = 0) {
    std::vector<unsigned char> image(size);
    for (std::uint32_t i = 0; i < size; ++i) image[i] = static_cast<unsigned char>((i * 7 + i / 251 + salt) | 1);
    le_put_u32(image.data(), size);
    le_put_u32(image.data() + 8, version);
    le_put_u32(image.data() + 12, 41);  // revision
    return image;
}

void expect_bytes(const std::vector<unsigned char>& dst, std::uint32_t dst_at, const std::vector<unsigned char>& src,
                  std::uint32_t src_at, std::uint32_t n, const char* what) {
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(dst[dst_at + i], src[src_at + i]) << what << " byte " << i;
}

void expect_zero(const std::vector<unsigned char>& dst, std::uint32_t at, std::uint32_t n, const char* what) {
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(dst[at + i], 0) << what << " byte " << i;
}

void expect_valid_header(const std::vector<unsigned char>& out, std::uint32_t version, std::uint32_t size) {
    ASSERT_EQ(out.size(), size);
    EXPECT_EQ(le_get_u32(out.data()), size);
    EXPECT_EQ(le_get_u32(out.data() + 8), version);
    EXPECT_EQ(le_get_u32(out.data() + 12), 42u);  // revision: one more than the source
    std::vector<unsigned char> copy = out;
    le_put_u32(copy.data() + 4, 0);
    EXPECT_EQ(le_get_u32(out.data() + 4), config_crc16(copy.data(), size));
}

const restore_config_entry* entry(std::uint64_t index) { return &restore_config_table()[index]; }

status_record controller(const char* firmware) {
    status_record s;
    s.model_name = "TARNEL-4";
    if (firmware) s.firmware_version = firmware;
    return s;
}

struct ChannelCase {
    std::uint32_t from;
    std::uint32_t to;
    const char* firmware;
};

class ChannelConversion : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelConversion, EveryFieldLandsWhereTheLayoutSays) {
    const ChannelCase c = GetParam();
    const layout_offsets& from = LAYOUT[c.from];
    const layout_offsets& to = LAYOUT[c.to];
    std::vector<unsigned char> src = traced_image(from.size, c.from);
    // Give the devices a spread of device types: with data (5, 6, 8) and without.
    const std::uint8_t types[] = {5, 6, 8, 0, 7, 255};
    for (std::uint32_t i = 0; i < 64; ++i) src[60 + i * from.entry + from.type] = types[i % 6];

    std::vector<unsigned char> out;
    status_record status = controller(c.firmware);
    ASSERT_EQ(config_convert(entry(2), &status, src.data(), src.size(), &out), CONFIG_CONVERT_OK);
    expect_valid_header(out, c.to, to.size);

    expect_bytes(out, 16, src, 16, 8, "channel word block");
    expect_bytes(out, 24, src, 24, 32, "kept header bytes");
    expect_bytes(out, 56, src, 56, 3, "kept bytes 56..58");
    expect_zero(out, 59, 1, "reserved byte 59");

    for (std::uint32_t i = 0; i < 64; ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        const std::uint32_t d = 60 + i * to.entry;
        const std::uint32_t s = 60 + i * from.entry;
        expect_bytes(out, d, src, s, 43, "entry bytes 0..42");
        const std::uint8_t type = src[s + from.type];
        if (from.type_2 == 0) {  // layout 1, also when its version reads 0
            const bool with_data = type == 5 || type == 6 || type == 8;
            EXPECT_EQ(out[d + to.type], with_data ? type : 255);
            EXPECT_EQ(out[d + to.type_2], 255);
        } else {
            EXPECT_EQ(out[d + to.type], type);
            EXPECT_EQ(out[d + to.type_2], src[s + from.type_2]);
        }
        expect_bytes(out, d + to.name, src, s + from.name, 33, "name");
        expect_bytes(out, d + to.after_name, src, s + from.after_name, 1, "byte after the name");
        expect_bytes(out, d + to.kept_u32, src, s + from.kept_u32, 4, "kept u32");
        expect_bytes(out, d + to.kept_16, src, s + from.kept_16, 16, "kept 16 bytes");
        if (c.to == 2) {
            // Type data moves from layout 1's shared area to its own place.
            expect_zero(out, d + 43, 1, "reserved byte 43");
            const std::uint32_t data_at[] = {46, 49, 56};
            const std::uint32_t data_size[] = {3, 7, 50};
            const std::uint8_t data_type[] = {5, 6, 8};
            for (int t = 0; t < 3; ++t) {
                if (type == data_type[t]) {
                    expect_bytes(out, d + data_at[t], src, s + 44, data_size[t], "type data");
                } else {
                    expect_zero(out, d + data_at[t], data_size[t], "other type data");
                }
            }
        } else {
            expect_zero(out, d + 79, 1, "reserved byte 79");
        }
    }
    expect_bytes(out, to.groups, src, from.groups, 16 * 38, "group entries");
    expect_bytes(out, to.trailer, src, from.trailer, 4, "trailer");
}

INSTANTIATE_TEST_SUITE_P(Layouts, ChannelConversion,
                         ::testing::Values(ChannelCase{1, 2, "1.3.1"}, ChannelCase{1, 3, "1.5.0"},
                                           ChannelCase{2, 3, "2.2.4"}, ChannelCase{0, 2, "1.4.9"}),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             return "From" + std::to_string(info.param.from) + "To" + std::to_string(info.param.to);
                         });

TEST(ConfigConvert, InputsTwoToThree) {
    std::vector<unsigned char> src = traced_image(9436, 2);
    // Entries of 100 bytes from 28; blocks from 3228, of 194 bytes (layout 2) or 198 (layout 3).
    const auto entry_at = [](std::uint32_t j) { return 28 + 100 * j; };
    const auto block2_at = [](std::uint32_t j) { return 3228 + 194 * j; };
    const auto block3_at = [](std::uint32_t j) { return 3228 + 198 * j; };
    // Device 0 has no push button; device 1 has instances of types 1, 3, 4 and
    // an unknown type; device 2 has a push button too.
    for (std::uint32_t j = 0; j < 32; ++j)
        for (std::uint32_t k = 0; k < 32; ++k) src[entry_at(j) + 16 + 2 * k] = 0;
    const std::uint32_t instances[][3] = {{0, 0, 3}, {1, 0, 1}, {1, 1, 3}, {1, 2, 4}, {1, 3, 9}, {1, 31, 1}, {2, 5, 1}};
    for (const auto& [device, k, type] : instances)
        src[entry_at(device) + 16 + 2 * k] = static_cast<unsigned char>(type);

    std::vector<unsigned char> out;
    status_record status = controller("2.2.4");
    ASSERT_EQ(config_convert(entry(6), &status, src.data(), src.size(), &out), CONFIG_CONVERT_OK);
    expect_valid_header(out, 3, 9564);
    expect_bytes(out, 16, src, 16, 12, "channel word, kept bytes and u32 at 24");
    for (std::uint32_t j = 0; j < 32; ++j) {
        expect_bytes(out, entry_at(j), src, entry_at(j), 97, "entry bytes 0..96");
        expect_zero(out, entry_at(j) + 97, 3, "entry bytes 97..99");
    }
    const std::uint32_t s1 = block2_at(1), d1 = block3_at(1);
    expect_bytes(out, d1 + 6 + 6 * 0, src, s1 + 6 * 0, 6, "type 1 record");
    expect_bytes(out, d1 + 6 + 6 * 1, src, s1 + 4 * 1, 4, "type 3 record");
    expect_zero(out, d1 + 6 + 6 * 1 + 4, 2, "type 3 record tail");
    expect_bytes(out, d1 + 6 + 6 * 2, src, s1 + 3 * 2, 3, "type 4 record");
    expect_zero(out, d1 + 6 + 6 * 2 + 3, 3, "type 4 record tail");
    expect_zero(out, d1 + 6 + 6 * 3, 6, "unknown type record");
    expect_bytes(out, d1 + 6 + 6 * 31, src, s1 + 6 * 31, 6, "last type 1 record");
    EXPECT_EQ(out[d1], 0);
    // block_param comes along only for the first device with a push button.
    EXPECT_EQ(out[block3_at(0) + 1], 0);
    EXPECT_EQ(out[d1 + 1], src[s1 + 192]);
    EXPECT_EQ(out[block3_at(2) + 1], 0);
    expect_bytes(out, block3_at(0) + 6, src, block2_at(0), 4, "device 0 type 3 record");
}

TEST(ConfigConvert, DecisionTable) {
    struct Row {
        std::uint64_t index;
        std::uint32_t source_version;
        std::uint32_t length;
        const char* firmware;
        int result;
        std::uint32_t out_length;  // 0: no output
        const char* message;
    };
    const Row rows[] = {
        // other sets go back unchanged, whatever they hold (every set of a
        // backup is restored in the e2e round trips); the last index
        {602, 0, 7, nullptr, CONFIG_CONVERT_OK, 7, ""},
        {603, 1, 11168, "1.3.0", CONFIG_CONVERT_REFUSED, 0, ""},
        // channel files; the conversions themselves are ChannelConversion's
        // and InputsTwoToThree's
        {2, 0, 11000, "1.2.0", CONFIG_CONVERT_OK, 11000, ""},
        {3, 1, 11000, "1.3.1", CONFIG_CONVERT_REFUSED, 0, ""},
        {5, 2, 10000, "2.0", CONFIG_CONVERT_REFUSED, 0, ""},
        {2, 3, 7072, "1.3.1", CONFIG_CONVERT_NOT_SUPPORTED, 0,
         "CONFIGURATION dali CONVERSION VERSION 3 to 2 IS NOT SUPPORTED!"},
        {2, 3, 7072, "1.0.0", CONFIG_CONVERT_NOT_SUPPORTED, 0,
         "CONFIGURATION dali CONVERSION VERSION 3 to 0 IS NOT SUPPORTED!"},
        {2, 3, 7072, "1.6.0", CONFIG_CONVERT_OK, 7072, ""},
        {2, 4, 7072, "1.6.0", CONFIG_CONVERT_REFUSED, 0, ""},
        {2, 1, 11168, nullptr, CONFIG_CONVERT_REFUSED, 0, ""},  // no firmware version known
        // channel inputs files
        {6, 1, 500, "1.0.0", CONFIG_CONVERT_OK, 500, ""},
        {7, 3, 9564, "1.3.1", CONFIG_CONVERT_OK, 9564, ""},
        {8, 2, 9436, "1.5.0", CONFIG_CONVERT_OK, 9436, ""},
        {8, 2, 9000, "2.2.4", CONFIG_CONVERT_REFUSED, 0, ""},
        {9, 2, 9436, "1.2.0", CONFIG_CONVERT_NOT_SUPPORTED, 0,
         "CONFIGURATION dalicd CONVERSION VERSION 2 to 0 IS NOT SUPPORTED!"},
        {9, 0, 9436, "2.2.4", CONFIG_CONVERT_REFUSED, 0, ""},
        {2, 1, 8, "1.3.0", CONFIG_CONVERT_REFUSED, 0, ""},  // too short to carry a version
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("index " + std::to_string(row.index) + " version " + std::to_string(row.source_version) +
                     " firmware " + (row.firmware ? row.firmware : "(none)"));
        std::vector<unsigned char> file = traced_image(std::max<std::uint32_t>(row.length, 16), row.source_version);
        file.resize(row.length);
        restore_config_entry beyond{603, "x.tar", "/x"};
        const restore_config_entry* e = row.index > 602 ? &beyond : entry(row.index);
        status_record status = controller(row.firmware);
        std::vector<unsigned char> out;
        testing::internal::CaptureStdout();
        int result = config_convert(e, &status, file.data(), file.size(), &out);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.message);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(out.size(), row.out_length);
        if (row.out_length == row.length && row.result == CONFIG_CONVERT_OK) {
            EXPECT_EQ(out, file);  // unchanged copy
        }
    }
}

}  // namespace
