// The option values of one run and the action entry points that the main
// dispatches to. Each action returns the process exit status: 0 when its
// job was done, 2 for missing arguments, 1 for any other failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct run_options {
    std::optional<std::string> action;
    std::optional<std::string> ip;
    std::optional<std::string> backup_file_out;
    std::optional<std::string> backup_file_out_type;
    std::optional<std::string> backup_file_in;
    std::optional<std::string> firmware_file;
    // A channel number 0 ends the list for every reader.
    std::optional<std::vector<std::uint32_t>> channels;
    std::optional<std::vector<std::string>> backup_config;
    std::optional<std::vector<std::string>> channel_csv_files;
    std::optional<std::vector<std::string>> channel_groups_csv_files;
    std::optional<std::vector<std::string>> channel_inputs_csv_files;
};

// A null list means "the default list of configuration sets".
int action_get_backup(const char* address, const char* folder, const char* type,
                      const std::vector<std::string>* list);
int action_put_backup(const char* address, const char* path);
int action_push_firmware(const char* address, const char* path);
int action_setup_channel(const char* address, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files);
int action_get_status(const char* address);
int action_read_file(const char* address, const char* remote_name, std::uint64_t expected_size,
                     const char* folder, const char* type);
