// The restore walk of put_backup, with the upload of each set passed in so
// that the walk can be run without a controller.
#pragma once

#include "action/actions.h"
#include "backup/backup_source.h"
#include "status/status.h"
#include "transfer/transfer.h"

// Restores every configuration set of a backup archive or folder: an
// archive's in archive order, a folder's in fetch order; members that are
// no configuration set are passed over. Every set is read and converted to
// the controller's layout first: when any cannot be (a damaged member, a
// layout the controller cannot take), when a member is listed twice, or
// when the backup holds no configuration set at all, nothing is sent and
// the result is 1. Otherwise 0 when every set was pushed; 1 when any was
// not (each is named, the later sets are still pushed).
// With --check or --ifchanged, each set's converted file is compared with
// the controller's first: a check changes nothing, and only the sets that
// differ are restored.
int restore_archive(backup_source* source, const status_record& status, const controller_link& link, set_push_fn push,
                    const change_mode& mode = {}, restore_outcome* outcome = nullptr);
