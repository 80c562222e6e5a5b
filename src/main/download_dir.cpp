#include "main/download_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
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
    const char* home = env("HOME");
    std::string config;
    if (const char* xdg = env("XDG_CONFIG_HOME")) {
        config = std::string(xdg) + "/user-dirs.dirs";
    } else if (home) {
        config = std::string(home) + "/.config/user-dirs.dirs";
    }
    if (!config.empty()) {
        std::ifstream in(config, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            if (auto dir = xdg_download_dir_from(text.str(), home ? home : "")) return dir;
        }
    }
    if (home) return std::string(home) + "/Downloads";
    if (const char* profile = env("USERPROFILE")) return std::string(profile) + "/Downloads";
    return std::nullopt;
}
