// The actions: one entry point per job of the tool, dispatched by the
// command line. Each returns the process exit status: 0 when its job was
// done, 2 for missing arguments, 1 for any other failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A null list means "the default list of configuration sets".
int action_get_backup(const char* address, const char* folder, const char* type, const std::vector<std::string>* list);
int action_put_backup(const char* address, const char* path);
int action_push_firmware(const char* address, const char* path);
// A channel number 0 ends the channel list.
int action_setup_channel(const char* address, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files);
int action_get_status(const char* address);
// Copies a controller file ("flashraw.bin", "flashfs.bin") into the folder
// under its own name.
int action_read_file(const char* address, const char* remote_name, std::uint64_t expected_size, const char* folder,
                     const char* type);
// Offline-capable inspection of backups; none of them changes anything on a
// controller. verify_backup checks a backup (zip archive, backup folder or a
// single set tar) without any network.
int action_verify_backup(const char* path);
// Compares the backup at old_path with a second backup (compare_with) or
// with the controller at `address` (exactly one of the two): 0 no
// difference, 1 differences, 2 trouble.
int action_diff_backup(const char* old_path, const char* compare_with, const char* address);
// Writes channel<n>.csv, channel<n>_groups.csv and channel<n>_inputs.csv
// into the folder for each channel of the list (ended by 0), from the
// controller at `address` or from the backup at backup_path (exactly one).
int action_export_channel(const char* address, const char* backup_path, const std::vector<std::uint32_t>* channels,
                          const char* folder);
