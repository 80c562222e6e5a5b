// The put_backup action: restores a backup archive (or sends a single tar
// file unchanged) to the controller, converting each channel file to the
// layout that the controller's firmware expects.
#pragma once

#include <string>

#include "mzsimple/mzsimple.h"

// The version gate over the text of a backup's "tool.txt": true when the
// archive was written by this tool at version 1.3.0 or older.
bool tool_record_accepted(const char* text);
// The gate over an open archive: an archive without "tool.txt" (or with one
// of an unusable size) passes.
bool backup_version_accepted(mzsimple* zip);
// The decimal value after "\"key\":" in the text, passing over anything up
// to the first digit or '-' (quotes included); false when there is none.
bool integer_lookup(const char* key, const char* text, int* value);
