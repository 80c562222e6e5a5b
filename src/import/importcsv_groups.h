// Channel groups CSV import: one row per DALI group, written into the group
// entries of the channel file image of a channel_record.
//
// First a version line, a field starting with
// "#dali-channel-groups-csv-version: 1"; then rows of 3 fields:
//
//   0  int   read and not used
//   1  int   group index    selects the group entry; 16 or more is dropped
//   2  text  group name     at most 32 characters, NUL-filled
//
// A stored row sets the entry's name and entry_marker 255, in the group entry
// array of the layout that the fetched set's firmware version selects.
#pragma once

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "import/csv_common.h"

// IMPORTCSV_* result (IMPORTCSV_DONE after a complete import).
int importcsv_groups(const backup_set_data* set, const char* path, channel_record* record);
