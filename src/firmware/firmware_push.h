// The firmware information block inside a firmware image, and the request
// that asks the controller to apply an uploaded image.
//
// The information block is 184 bytes at byte 0x1C0000 (1,835,008) of the
// image; texts are NUL-terminated within their field, numbers little-endian:
//
//   offset  size  field
//        0    12  (not used)
//       12    33  model_name               "TARNEL-1" .. "TARNEL-4"
//       45    33  model_description
//       78    33  version_string
//      111     1  (padding)
//      112     4  version_number           u32
//      116    33  version_date
//      149    33  version_time
//      182     1  dali_number_of_channel   u8
//      183     1  (padding)
//
// An image must therefore hold at least 0x1C00B8 (1,835,192) bytes; the
// controller takes at most 0xFFFFFE (16,777,214) bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/firmware_record.h"
#include "firmware/firmware_package.h"
#include "transfer/controller_link.h"

struct firmware_info {
    char model_name[33];
    char model_description[33];
    char version_string[33];
    std::uint32_t version_number;
    char version_date[33];
    char version_time[33];
    std::uint8_t dali_number_of_channel;
};

// 0 and the block decoded; 1 when the bytes or the out-parameter are missing
// or the image is too short to hold the block.
int firmware_info_read(const unsigned char* image, std::uint64_t size, firmware_info* info);
// 0 when the image carries a known model (the block is then printed); 1 when
// the size is out of range or the block cannot be read; -1 for an unknown
// model.
int firmware_info_check(const unsigned char* image, std::uint64_t size);
// firmware_info_check of a prepared record (its image in memory or
// spooled), and on 0 the block decoded.
int firmware_record_info(const firmware_record& record, firmware_info* info);
// Asks the controller to apply the image just uploaded: 0 when the request
// was performed (the controller's answer goes to standard output as it is).
int firmware_upgrade_request(const controller_link& link, const unsigned char digest[32], std::uint64_t size);
