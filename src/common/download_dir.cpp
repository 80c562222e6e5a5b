#include "common/download_dir.h"

#include <sstream>

#include "common/handles.h"
#include "platform/platform.h"

namespace {

// The whole text of a file; none when it cannot be read.
std::optional<std::string> read_text(const std::string& path) {
    file_ptr file(platform_fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
    return text;
}

// Unquotes a shell-style value: "double quoted" (with backslash escapes),
// 'single quoted', or bare up to a blank or a comment.
std::string unquote(const std::string& raw) {
    std::string out;
    std::size_t i = 0;
    while (i < raw.size()) {
        char c = raw[i];
        if (c == '"') {
            for (++i; i < raw.size() && raw[i] != '"'; ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
                out.push_back(raw[i]);
            }
            ++i;
        } else if (c == '\'') {
            for (++i; i < raw.size() && raw[i] != '\''; ++i) out.push_back(raw[i]);
            ++i;
        } else if (c == ' ' || c == '\t' || c == '#') {
            break;
        } else {
            if (c == '\\' && i + 1 < raw.size()) ++i;
            out.push_back(raw[i]);
            ++i;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> xdg_download_dir_from(const std::string& text, const std::string& home) {
    std::optional<std::string> found;
    std::istringstream lines(text);
    std::string line;
    const std::string key = "XDG_DOWNLOAD_DIR";
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.compare(start, key.size(), key) != 0) continue;
        std::size_t eq = line.find_first_not_of(" \t", start + key.size());
        if (eq == std::string::npos || line[eq] != '=') continue;
        std::size_t value_start = line.find_first_not_of(" \t", eq + 1);
        if (value_start == std::string::npos) continue;
        std::string value = unquote(line.substr(value_start));
        for (const char* var : {"${HOME}", "$HOME"}) {
            std::string v(var);
            if (value.compare(0, v.size(), v) == 0) {
                if (home.empty()) {
                    value.clear();
                } else {
                    value = home + value.substr(v.size());
                }
                break;
            }
        }
        // Only absolute paths are meaningful; a later line wins, as in a shell.
        if (!value.empty() && value[0] == '/') {
            while (value.size() > 1 && value.back() == '/') value.pop_back();
            found = value;
        }
    }
    return found;
}

std::optional<std::string> user_download_dir() {
    // Windows: the shell's known folder, else the Downloads folder of the
    // user's profile.
    if (PLATFORM_WINDOWS) {
        if (std::optional<std::string> known = platform_known_download_dir()) return known;
        if (std::optional<std::string> profile = platform_getenv("USERPROFILE")) {
            return platform_join_path(*profile, "Downloads");
        }
        return std::nullopt;
    }
    const std::optional<std::string> home = platform_getenv("HOME");
    std::string config;
    if (std::optional<std::string> xdg = platform_getenv("XDG_CONFIG_HOME")) {
        config = *xdg + "/user-dirs.dirs";
    } else if (home) {
        config = *home + "/.config/user-dirs.dirs";
    }
    if (!config.empty()) {
        if (std::optional<std::string> text = read_text(config)) {
            if (auto dir = xdg_download_dir_from(*text, home.value_or(""))) return dir;
        }
    }
    if (home) return *home + "/Downloads";
    if (std::optional<std::string> profile = platform_getenv("USERPROFILE")) return *profile + "/Downloads";
    return std::nullopt;
}
