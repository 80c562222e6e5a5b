// The put_backup action: restores a backup archive (or sends a single tar
// file unchanged) to the controller, converting each channel file to the
// layout that the controller's firmware expects.
#pragma once

#include <string>

#include "mzsimple/mzsimple.h"
#include "status/status.h"

// The version gate over the text of a backup's "tool.txt": true when the
// archive was written by this tool at version 1.3.0 or older.
bool tool_record_accepted(const char* text);
// The gate over an open archive: an archive without "tool.txt" (or with one
// of an unusable size) passes.
bool backup_version_accepted(mzsimple* zip);
// The decimal value after "\"key\":" in the text, passing over anything up
// to the first digit or '-' (quotes included); false when there is none.
bool integer_lookup(const char* key, const char* text, int* value);

// Uploads one configuration tar and triggers its restore (backup_push).
using set_push_fn = int (*)(const char* base, const char* address, const unsigned char* bytes, std::size_t count);
// Restores every configuration set of an open archive in archive order;
// members that are no configuration set are passed over. 0 when every set
// was converted and pushed; 1 when any was not, or when a set could not be
// brought to the controller's layout (the walk stops there).
int restore_archive(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                    set_push_fn push);
