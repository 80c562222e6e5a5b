// The settings of one run, read once from the command line by the option
// reader and only read afterwards: the action, the controller, the files,
// the lists, and how the exchanges and the output go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/controller_link.h"

// The options an action may need, as bits, so that an action's row can say
// which it requires.
enum run_option : std::uint32_t {
    OPTION_IP = 1u << 0,
    OPTION_CHANNEL = 1u << 1,
    OPTION_CHANNEL_CSV_FILE = 1u << 2,
    OPTION_GROUPS_CSV_FILE = 1u << 3,
    OPTION_INPUTS_CSV_FILE = 1u << 4,
    OPTION_BACKUP_FILE_OUT = 1u << 5,
    OPTION_BACKUP_FILE_OUT_TYPE = 1u << 6,
    OPTION_BACKUP_CONFIG = 1u << 7,
    OPTION_BACKUP_FILE_IN = 1u << 8,
    OPTION_FIRMWARE_FILE = 1u << 9,
    OPTION_COMPARE_WITH = 1u << 10,
    OPTION_UPGRADE_WAIT = 1u << 11,
};

// How long push_firmware waits for the controller to report the new
// firmware, unless --upgradewait says otherwise (0: no wait).
constexpr unsigned UPGRADE_WAIT_DEFAULT = 300;

struct run_options {
    std::optional<std::string> action;
    std::optional<std::string> ip;
    std::optional<std::string> backup_file_out;
    std::optional<std::string> backup_file_out_type;
    std::optional<std::string> backup_file_in;
    std::optional<std::string> firmware_file;
    std::optional<std::string> compare_with;
    std::optional<std::vector<std::uint32_t>> channels;
    std::optional<std::vector<std::string>> backup_config;
    std::optional<std::vector<std::string>> channel_csv_files;
    std::optional<std::vector<std::string>> channel_groups_csv_files;
    std::optional<std::vector<std::string>> channel_inputs_csv_files;
    unsigned upgrade_wait = UPGRADE_WAIT_DEFAULT;
    bool upgrade_wait_given = false;
    transfer_settings transfer;
    bool json = false;       // one JSON document of the result on standard output (--json)
    bool check = false;      // change nothing, say what would change (--check)
    bool ifchanged = false;  // change only what differs (--ifchanged)
};

// Whether every option of `options` (run_option bits) has a value, and
// whether any of them has.
bool run_options_have(const run_options& o, std::uint32_t options);
bool run_options_have_any(const run_options& o, std::uint32_t options);
