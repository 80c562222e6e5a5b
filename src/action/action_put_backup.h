// The restore walk of put_backup, with the upload of each set passed in so
// that the walk can be run without a controller.
#pragma once

#include <string>

#include "mzsimple/mzsimple.h"
#include "status/status.h"
#include "transfer/transfer.h"

// Restores every configuration set of an open archive in archive order;
// members that are no configuration set are passed over. Every set is
// converted to the controller's layout first: when any cannot be, or when
// the archive (named `archive_name` in the message) holds no configuration
// set at all, nothing is sent and the result is 1. Otherwise 0 when every
// set was converted and pushed; 1 when any was not (a damaged member is
// reported and passed over, the later sets are still pushed).
int restore_archive(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                    set_push_fn push, const char* archive_name = nullptr);
