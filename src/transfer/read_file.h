// The flash image actions: copy the controller's "flashraw.bin" or
// "flashfs.bin" into a local file of the same name.
#pragma once

#include <optional>
#include <string>

// The output path for a folder and a remote name: the folder and the base
// name joined by '/' unless the folder already ends in '/' or '\'. None when
// the path would be too long (folder + name + 2 over 260 characters).
std::optional<std::string> read_file_output_path(const char* folder, const char* remote_name);
