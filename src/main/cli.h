// The command-line main: banner, option parsing, echo lines, dispatch of one
// action, cleanup. Returns the process exit status: 0 done, 2 usage errors
// (unknown action, missing arguments, refused backup version, a controller
// address that is not a host with an optional port, a configuration set name
// that is not in the set table, a --tftpblksize value that is not a whole
// number from 8 to 65464, an --upgradewait value that is not whole
// seconds), 1 any other failure of the action.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

int cli_main(int argc, char** argv);

// The option values of one run. The main owns them; the actions borrow them
// for the call.
struct run_options {
    std::optional<std::string> action;
    std::optional<std::string> ip;
    std::optional<std::string> backup_file_out;
    std::optional<std::string> backup_file_out_type;
    std::optional<std::string> backup_file_in;
    std::optional<std::string> firmware_file;
    std::optional<std::string> compare_with;
    std::optional<std::string> upgrade_wait;
    std::optional<std::string> tftp_blksize;
    std::optional<std::vector<std::uint32_t>> channels;
    std::optional<std::vector<std::string>> backup_config;
    std::optional<std::string> backup_config_unread;  // a --backupconfig value that named no set
    std::optional<std::vector<std::string>> channel_csv_files;
    std::optional<std::vector<std::string>> channel_groups_csv_files;
    std::optional<std::vector<std::string>> channel_inputs_csv_files;
};

// One occurrence of a list option, read as a JSON value: strings (and for
// channels numbers, truncated toward zero) become entries until the first
// array end, the end of the value or a parse error. An occurrence that
// yields entries replaces the earlier list; one that yields none leaves it.
void fill_channels(const char* text, std::optional<std::vector<std::uint32_t>>& list);
void fill_strings(const char* text, std::optional<std::vector<std::string>>& list);
