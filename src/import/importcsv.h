// Channel CSV import: one row per DALI control gear, written into the device
// entries of the channel file image of a channel_record.
//
// First a version line, a field starting with "#dali-channel-csv-version: 1";
// then rows of 12 fields:
//
//   0  int        channel word            file offset 16 (layout 3 only)
//   1  int        device entry index      rows with 64 or more are dropped
//   2  json-int   short address a         0..63: address_byte 2a+1, flags bit 0;
//                                         null (255): no address, see below;
//                                         64..254 change nothing
//   3  text       name                    at most 32 characters, NUL-filled
//   4  json-list  group numbers           groups mask: bit (n & 31), 16..31 none
//   5  word/int   power-on level          "null" 255; "false" 100 with flags bit 3
//                                         instead of bit 1; else int
//   6  word/int   system failure level    "null" 255; else int
//   7  int        minimum level
//   8  int        maximum level
//   9  int        fade rate               0 becomes 1, above 15 becomes 15
//  10  int        fade time               above 15 becomes 15
//  11  json-list  scene levels 0..15      at most 16, null gives 255, unset 255
//
// The layout follows the fetched set's firmware version (channel_layout_for).
// A row without short address stores address_byte 255 (layout 3) or 0
// (layout 2) and clears flags bit 0; in layout 1 it clears the device's
// extra-area record instead. Layout 3 also stores the channel word and sets
// device_type and device_type_2 to 0. Every stored row sets flags bit 1 (or
// 3) and entry_marker 255.
#pragma once

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "import/csv_common.h"

// IMPORTCSV_* result (IMPORTCSV_DONE after a complete import).
int importcsv(const backup_set_data* set, const char* path, channel_record* record);
