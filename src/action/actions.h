// The actions: one entry point per job of the tool, run by the dispatch of
// the action table (action_table.h) once the action's options are there.
// Each returns the process exit status: 0 when its job was done, 2 for a
// usage error, 1 for any other failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/controller_link.h"

// What a backup stored: the archive (or folder) written, the sets stored,
// the sets and the flash image the controller has but that did not arrive
// whole, and the number of sets the controller does not have.
struct backup_outcome {
    std::string archive;  // empty when nothing could be written
    std::vector<std::string> stored;
    std::vector<std::string> damaged;  // "flashfs.bin" too, when its read failed
    unsigned absent = 0;
    bool flashfs_stored = false;
};

// A null list means "the default list of configuration sets".
int action_get_backup(const controller_link& link, const char* folder, const char* type,
                      const std::vector<std::string>* list, backup_outcome* outcome = nullptr);
int action_put_backup(const controller_link& link, const char* path);
// Waits up to `wait_seconds` after the apply request for the controller to
// report the new firmware; 0: no wait.
int action_push_firmware(const controller_link& link, const char* path, unsigned wait_seconds);
// A channel number 0 ends the channel list.
int action_setup_channel(const controller_link& link, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files);
int action_get_status(const controller_link& link);
// Copies a controller file ("flashraw.bin", "flashfs.bin") into the folder
// under its own name.
int action_read_file(const controller_link& link, const char* remote_name, std::uint64_t expected_size,
                     const char* folder);
// Offline-capable inspection of backups; none of them changes anything on a
// controller. verify_backup checks a backup (zip archive, backup folder or a
// single set tar) without any network.
int action_verify_backup(const char* path);
// Compares the backup at old_path with a second backup (compare_with) or
// with the controller of `link` (exactly one of the two): 0 no difference,
// 1 differences, 2 trouble.
int action_diff_backup(const char* old_path, const char* compare_with, const controller_link* link);
// Writes channel<n>.csv, channel<n>_groups.csv and channel<n>_inputs.csv
// into the folder for each channel of the list (ended by 0), from the
// controller of `link` or from the backup at backup_path (exactly one).
int action_export_channel(const controller_link* link, const char* backup_path,
                          const std::vector<std::uint32_t>* channels, const char* folder);
