// read_file_flashraw and read_file_flashfs: copy the controller's
// "flashraw.bin" or "flashfs.bin" into a local file of the same name.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "action/actions.h"
#include "common/limits.h"
#include "common/output_file.h"
#include "platform/platform.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

const char* base_name(const char* remote_name) {
    const char* base = remote_name;
    if (const char* slash = std::strrchr(base, '/')) base = slash + 1;
    if (const char* backslash = std::strrchr(base, '\\')) base = backslash + 1;
    return base;
}

// The output path for a folder and a remote name: the folder and the base
// name joined by the platform's separator unless the folder already ends in
// '/' or '\'. None when the path would be too long.
std::optional<std::string> read_file_output_path(const char* folder, const char* remote_name) {
    const char* base = base_name(remote_name);
    std::size_t folder_length = std::strlen(folder);
    if (folder_length + std::strlen(base) + 2 > PATH_LIMIT) return std::nullopt;
    bool ends_in_separator =
        folder_length > 0 && (folder[folder_length - 1] == '/' || folder[folder_length - 1] == '\\');
    return ends_in_separator ? std::string(folder) + base : platform_join_path(folder, base);
}

}  // namespace

int action_read_file(const controller_link& link, const char* remote_name, std::uint64_t expected_size,
                     const char* folder, std::pair<std::string, std::uint64_t>* written) {
    progress_set(0);
    std::optional<std::string> path = read_file_output_path(folder, remote_name);
    if (!path) {
        log_printf_color(COLOR_RED, "[ERROR] Output path too long\n");
        return EXIT_FAILED;
    }
    console_printf("[INFO] Output file: %s", path->c_str());

    // The image goes to a temporary file beside the target and replaces the
    // target only after a complete read, so a failed read never destroys an
    // earlier image.
    output_file out;
    if (!output_file_open(&out, *path)) {
        log_printf_color(COLOR_RED, "[ERROR] Cannot open output file: %s\n", path->c_str());
        return EXIT_FAILED;
    }
    console_printf("[INFO] Opened output file for writing: %s", path->c_str());

    std::vector<unsigned char> bytes;
    if (action_read_file_memory(link, remote_name, expected_size, &bytes) != 0) {
        log_printf_color(COLOR_RED, "Failed to read the file %s.", remote_name);
        return EXIT_FAILED;
    }
    if (!output_file_write(&out, bytes.data(), bytes.size()) || !output_file_commit(&out)) {
        log_printf_color(COLOR_RED, "[ERROR] Cannot write output file: %s\n", path->c_str());
        return EXIT_FAILED;
    }
    log_printf_color(COLOR_GREEN, "File %s downloaded and written to: %s.", remote_name, path->c_str());
    if (written) *written = {*path, bytes.size()};
    return EXIT_DONE;
}
