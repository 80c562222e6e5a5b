// The channel set-up of setup_channel, with the fetch of each channel's
// configuration set and the upload of the result passed in, so that it can
// run without a controller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_check.h"
#include "transfer/transfer.h"

struct channel_io {
    int (*fetch)(const controller_link& link, const char* set_name, backup_set_data* set);  // backup_fetch_set
    set_push_fn push;                                                                       // backup_push
};

// action_setup_channel over the given fetch and upload.
int setup_channels(const controller_link& link, const std::vector<std::uint32_t>* channels,
                   const std::vector<std::string>* channel_csv_files, const std::vector<std::string>* groups_csv_files,
                   const std::vector<std::string>* inputs_csv_files, const channel_io& io, const change_mode& mode = {},
                   setup_outcome* outcome = nullptr);
