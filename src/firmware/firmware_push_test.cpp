#include "firmware/firmware_push.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// An image of `size` bytes whose information block names `model`.
std::vector<unsigned char> image_with(std::size_t size, const char* model) {
    std::vector<unsigned char> image(size, 0xAB);
    if (size < FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE) return image;
    unsigned char* block = image.data() + FIRMWARE_INFO_OFFSET;
    std::memset(block, 0, FIRMWARE_INFO_SIZE);
    std::memcpy(block + 12, model, std::strlen(model));      // model_name
    std::memcpy(block + 45, "Four channel controller", 23);  // model_description
    std::memcpy(block + 78, "2.2.4", 5);                     // version_string
    block[112] = 0x04;
    block[113] = 0x02;
    block[114] = 0x02;                           // version_number 0x020204 (LE)
    std::memcpy(block + 116, "2026-11-30", 10);  // version_date
    std::memcpy(block + 149, "12:00:00", 8);     // version_time
    block[182] = 4;                              // dali_number_of_channel
    return image;
}

TEST(FirmwareInfo, SizeBounds) {
    const std::size_t smallest = 0x1C00B8;  // 1,835,192: just holds the block
    testing::internal::CaptureStdout();
    EXPECT_EQ(firmware_info_check(image_with(smallest, "TARNEL-3").data(), smallest), 0);
    std::vector<unsigned char> short_image = image_with(smallest, "TARNEL-3");
    EXPECT_EQ(firmware_info_check(short_image.data(), smallest - 1), 1);
    std::vector<unsigned char> big = image_with(0xFFFFFF, "TARNEL-1");
    EXPECT_EQ(firmware_info_check(big.data(), 0xFFFFFE), 0);  // 16,777,214 bytes pass
    EXPECT_EQ(firmware_info_check(big.data(), 0xFFFFFF), 1);  // 16,777,215 do not
    testing::internal::GetCapturedStdout();
}

TEST(FirmwareInfo, OnlyTheFourModelsPass) {
    const std::size_t size = 0x1C00B8;
    testing::internal::CaptureStdout();
    for (const char* model : {"TARNEL-1", "TARNEL-2", "TARNEL-3", "TARNEL-4"})
        EXPECT_EQ(firmware_info_check(image_with(size, model).data(), size), 0) << model;
    for (const char* model : {"TARNEL-5", "TARNEL-31", "tarnel-3", "TARNEL-", "", "TARNEL-0"})
        EXPECT_EQ(firmware_info_check(image_with(size, model).data(), size), -1) << model;
    testing::internal::GetCapturedStdout();
}

TEST(FirmwareInfo, PrintsTheBlock) {
    const std::size_t size = 0x1C00B8;
    std::vector<unsigned char> image = image_with(size, "TARNEL-4");
    // A text that fills its whole field is printed without running past it.
    std::memset(image.data() + FIRMWARE_INFO_OFFSET + 45, 'D', 33);
    testing::internal::CaptureStdout();
    ASSERT_EQ(firmware_info_check(image.data(), size), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "== Firmware Info ==\r\nmodel_name=TARNEL-4\r\nmodel_description=" + std::string(33, 'D') +
                  "\r\nversion_string=2.2.4\r\nversion_number=131588\r\nversion_date=2026-11-30\r\n"
                  "version_time=12:00:00\r\ndali_number_of_channel=4\r\n== ==\r\n");
}

}  // namespace
