// Channel inputs CSV import: one row per DALI input device, written into the
// input device entries and instance blocks of the channel inputs file image
// (layout 3) of a channel_record.
//
// First a version line, a field starting with
// "#dali-channel-inputs-csv-version: 1"; then rows of 20 fields:
//
//   0      int             channel word         inputs file offset 16
//   1      int             input device index j entry j and instance block j; 32 or more dropped
//   2      json-int        short address a      0..63: address_byte 2a+1, flags bit 0;
//                                               null (255): address_byte 255, bit 0 cleared
//   3      text            name                 at most 16 characters, NUL-filled
//   4      int             flag word            flags = value OR 2
//   5      int (8 bits)    input parameter      input_param = min(value, 32)
//   6      json-list (32)  instance types       low byte of instances[k]
//   7      json-list (32)  second values        high byte of instances[k]
//   8      json-list (32)  block value          block_param = first value
//   9..14  json-list (32)  type-1 values        instance record k bytes 0..5
//  15..17  json-list (32)  type-3 values        instance record k bytes 1..3
//  18..19  json-list (32)  type-4 values        instance record k bytes 1..2
//
// Lists start as 32 zeros; null, true and false are passed over, values past
// the 32nd are dropped. The instance type that selects a record's columns is
// the type byte stored in instances[k].
//
// The tool builds the inputs file only for controllers whose channel layout
// code is 3: on any other, the first complete data row prints
// "importcsv_cd\terror version %s not supported." and the import stops with
// IMPORTCSV_UNSUPPORTED (the set-up must end the run and push nothing).
#pragma once

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "import/csv_common.h"

// IMPORTCSV_* result (IMPORTCSV_DONE after a complete import).
int importcsv_cd(const backup_set_data* set, const char* path, channel_record* record);
