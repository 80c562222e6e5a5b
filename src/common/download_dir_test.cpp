#include "common/download_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/support.h"

namespace {

TEST(XdgDownloadDir, ValueForms) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/tech/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"${HOME}/Téléchargements\"\n", "/home/tech/Téléchargements"},
        {"XDG_DOWNLOAD_DIR='/data/single quoted'\n", "/data/single quoted"},
        {"XDG_DOWNLOAD_DIR=/data/bare # comment\n", "/data/bare"},
        {"XDG_DOWNLOAD_DIR=\"/data/with \\\"quote\\\"\"\n", "/data/with \"quote\""},
        {"  XDG_DOWNLOAD_DIR = \"$HOME/dl/\"\n", "/home/tech/dl"},
        {"# XDG_DOWNLOAD_DIR=\"/commented\"\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"relative/path\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR_OTHER=\"/x\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"/first\"\nXDG_DOWNLOAD_DIR=\"/second\"\n", "/second"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(xdg_download_dir_from(text, "/home/tech"), expected) << text;
    // $HOME cannot be expanded without a home directory.
    EXPECT_EQ(xdg_download_dir_from("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", ""), std::nullopt);
}

// user_download_dir() with HOME, XDG_CONFIG_HOME and USERPROFILE set as
// given (empty: unset); the test's own environment is restored afterwards.
std::optional<std::string> lookup(const std::string& home, const std::string& config_home, const std::string& profile) {
    const char* names[] = {"HOME", "XDG_CONFIG_HOME", "USERPROFILE"};
    const std::string values[] = {home, config_home, profile};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* old = std::getenv(names[i])) saved[i] = old;
        values[i].empty() ? unsetenv(names[i]) : setenv(names[i], values[i].c_str(), 1);
    }
    std::optional<std::string> found = user_download_dir();
    for (int i = 0; i < 3; ++i) saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
    return found;
}

TEST(UserDownloadDir, LookupOrder) {
    namespace fs = std::filesystem;
    const scratch_folder scratch;
    const fs::path& root = scratch.path;
    const std::string bare = (root / "bare").string(), home = (root / "home").string(), xdg = (root / "xdg").string();
    fs::create_directories(root / "home/.config");
    fs::create_directories(root / "xdg");
    std::ofstream(root / "home/.config/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Incoming\"\n";
    std::ofstream(root / "xdg/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"/srv/downloads\"\n";
    EXPECT_EQ(lookup(bare, "", "/profiles/tech"), bare + "/Downloads");  // no user-dirs.dirs; HOME comes first
    EXPECT_EQ(lookup(home, "", ""), home + "/Incoming");
    EXPECT_EQ(lookup(home, xdg, ""), "/srv/downloads");  // XDG_CONFIG_HOME in place of $HOME/.config
    EXPECT_EQ(lookup("", "", "/profiles/tech"), "/profiles/tech/Downloads");
}

}  // namespace
