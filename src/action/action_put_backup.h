// The restore walk of put_backup, with the upload of each set passed in so
// that the walk can be run without a controller.
#pragma once

#include <string>

#include "mzsimple/mzsimple.h"
#include "status/status.h"
#include "transfer/transfer.h"

// Restores every configuration set of an open archive in archive order;
// members that are no configuration set are passed over. 0 when every set
// was converted and pushed; 1 when any was not, or when a set could not be
// brought to the controller's layout (the walk stops there).
int restore_archive(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                    set_push_fn push);
