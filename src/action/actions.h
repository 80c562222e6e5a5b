// The actions: one entry point per job of the tool, run by the dispatch of
// the action table (action_table.h) once the action's options are there.
// Each returns the process exit status: 0 when its job was done, 2 for a
// usage error, 1 for any other failure, and fills a record of what it did
// (for the run's result document) when given one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "status/status.h"
#include "transfer/controller_link.h"

// Text pairs of the controller's status as a run read them.
using status_pairs = std::vector<std::pair<std::string, std::string>>;
status_pairs status_pairs_of(const status_record& status);
// The status.txt values of a fetched set.
struct backup_set_data;
status_pairs status_pairs_of(const backup_set_data& set);

// One configuration set that differs, as diff_backup prints it: '+' only
// on the new side, '-' only on the old one, '~' changed; under a changed
// channel or channel inputs file, one indented line per changed field.
struct set_change {
    char mark = '~';
    std::string set;
    std::vector<std::string> lines;
};
// Prints the changes as diff_backup does.
void set_changes_print(const std::vector<set_change>& changes);
// The change of one set's file from `old_file` to `new_file` (either may be
// missing); none when both are the same or both missing.
std::optional<set_change> set_change_of(const std::string& set, std::uint64_t index,
                                        const std::vector<unsigned char>* old_file,
                                        const std::vector<unsigned char>* new_file);

// How an action that changes the controller goes about it.
struct change_mode {
    bool check = false;      // read, validate, convert and compare, and change nothing
    bool ifchanged = false;  // change only what differs from the controller
    // Called once just before the first change (the safety backup of a run
    // with `ifchanged`); a non-zero result stops the action, unchanged.
    int (*before_change)(void* context) = nullptr;
    void* context = nullptr;
};

// What a backup stored: the archive (or folder) written, the sets stored,
// the sets and the flash image the controller has but that did not arrive
// whole, and the number of sets the controller does not have.
struct backup_outcome {
    std::string archive;  // empty when nothing could be written
    std::vector<std::string> stored;
    std::vector<std::string> damaged;  // "flashfs.bin" too, when its read failed
    unsigned absent = 0;
    bool flashfs_stored = false;
    status_pairs controller;  // the status.txt values of the first set stored
};

struct restore_outcome {
    std::vector<std::string> restored, unchanged, failed;
    std::vector<set_change> diff;  // with --check or --ifchanged: what differs from the controller
    status_pairs controller;
};

struct firmware_outcome {
    std::string model_name, version_string;  // of the image, once it was read
    std::optional<std::string> firmware_before, firmware_after;
    bool uploaded = false;
    bool changed = false;  // the upgrade was applied, or with --check would be
    status_pairs controller;
};

struct channel_result {
    std::uint32_t channel = 0;
    bool changed = false;
    bool pushed = false;
    std::vector<set_change> diff;
};
struct setup_outcome {
    std::vector<channel_result> channels;
    status_pairs controller;
};

struct verify_outcome {
    unsigned sets_checked = 0;
    std::vector<std::pair<std::string, std::string>> problems;  // member, text
};

// A null list means "the default list of configuration sets".
int action_get_backup(const controller_link& link, const char* folder, const char* type,
                      const std::vector<std::string>* list, backup_outcome* outcome = nullptr);
int action_put_backup(const controller_link& link, const char* path, const change_mode& mode,
                      restore_outcome* outcome = nullptr);
// Waits up to `wait_seconds` after the apply request for the controller to
// report the new firmware; 0: no wait.
int action_push_firmware(const controller_link& link, const char* path, unsigned wait_seconds, const change_mode& mode,
                         firmware_outcome* outcome = nullptr);
// A channel number 0 ends the channel list.
int action_setup_channel(const controller_link& link, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files, const change_mode& mode,
                         setup_outcome* outcome = nullptr);
int action_get_status(const controller_link& link, status_record* status = nullptr);
// Copies a controller file ("flashraw.bin", "flashfs.bin") into the folder
// under its own name; `written` gets the file's path and size.
int action_read_file(const controller_link& link, const char* remote_name, std::uint64_t expected_size,
                     const char* folder, std::pair<std::string, std::uint64_t>* written = nullptr);
// Offline-capable inspection of backups; none of them changes anything on a
// controller. verify_backup checks a backup (zip archive, backup folder or a
// single set tar) without any network.
int action_verify_backup(const char* path, verify_outcome* outcome = nullptr);
// Compares the backup at old_path with a second backup (compare_with) or
// with the controller of `link` (exactly one of the two): 0 no difference,
// 1 differences, 2 trouble.
int action_diff_backup(const char* old_path, const char* compare_with, const controller_link* link,
                       std::vector<set_change>* changes = nullptr);
// Writes channel<n>.csv, channel<n>_groups.csv and channel<n>_inputs.csv
// into the folder for each channel of the list (ended by 0), from the
// controller of `link` or from the backup at backup_path (exactly one).
int action_export_channel(const controller_link* link, const char* backup_path,
                          const std::vector<std::uint32_t>* channels, const char* folder,
                          std::vector<std::string>* files = nullptr);
