// The user's Downloads folder, where the safety backup before a restore or a
// firmware upgrade goes.
#pragma once

#include <optional>
#include <string>

// On POSIX: XDG_DOWNLOAD_DIR from "$XDG_CONFIG_HOME/user-dirs.dirs" (default
// "$HOME/.config/user-dirs.dirs"), else "$HOME/Downloads", else
// "$USERPROFILE/Downloads". On Windows: the shell's known Downloads folder,
// else "%USERPROFILE%\Downloads". None when none of these can be formed.
std::optional<std::string> user_download_dir();

// The XDG_DOWNLOAD_DIR value of a user-dirs.dirs text, with "$HOME" (or
// "${HOME}") expanded; none when the text sets no usable value.
std::optional<std::string> xdg_download_dir_from(const std::string& text, const std::string& home);
