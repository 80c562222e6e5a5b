#include "main/download_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

TEST(XdgDownloadDir, ValueForms) {
    const std::string home = "/home/tech";
    struct Case {
        const char* text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/tech/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"${HOME}/Téléchargements\"\n", "/home/tech/Téléchargements"},
        {"XDG_DOWNLOAD_DIR=\"/data/dl\"\n", "/data/dl"},
        {"XDG_DOWNLOAD_DIR='/data/single quoted'\n", "/data/single quoted"},
        {"XDG_DOWNLOAD_DIR=/data/bare # comment\n", "/data/bare"},
        {"XDG_DOWNLOAD_DIR=\"/data/with \\\"quote\\\"\"\n", "/data/with \"quote\""},
        {"  XDG_DOWNLOAD_DIR = \"$HOME/dl/\"\n", "/home/tech/dl"},
        {"# XDG_DOWNLOAD_DIR=\"/commented\"\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"relative/path\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR_OTHER=\"/x\"\n", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"/first\"\nXDG_DOWNLOAD_DIR=\"/second\"\n", "/second"},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(xdg_download_dir_from(c.text, home), c.expected) << c.text;
    }
    // $HOME cannot be expanded without a home directory.
    EXPECT_EQ(xdg_download_dir_from("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", ""), std::nullopt);
}

// Sets environment variables for one test and restores them afterwards.
class EnvGuard {
public:
    explicit EnvGuard(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
        }
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value) setenv(name, value->c_str(), 1);
            else unsetenv(name);
        }
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(UserDownloadDir, LookupOrder) {
    EnvGuard guard{"HOME", "XDG_CONFIG_HOME", "USERPROFILE"};
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("ornat-dl-" + std::to_string(::getpid()));
    fs::create_directories(root / "home/.config");
    fs::create_directories(root / "xdg");

    setenv("HOME", (root / "home").c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("USERPROFILE");
    // No user-dirs.dirs: $HOME/Downloads.
    EXPECT_EQ(user_download_dir(), (root / "home/Downloads").string());

    // The default config file under $HOME/.config.
    std::ofstream(root / "home/.config/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Incoming\"\n";
    EXPECT_EQ(user_download_dir(), (root / "home/Incoming").string());

    // XDG_CONFIG_HOME replaces $HOME/.config.
    setenv("XDG_CONFIG_HOME", (root / "xdg").c_str(), 1);
    std::ofstream(root / "xdg/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"/srv/downloads\"\n";
    EXPECT_EQ(user_download_dir(), "/srv/downloads");

    // No HOME at all: USERPROFILE, then nothing.
    unsetenv("HOME");
    unsetenv("XDG_CONFIG_HOME");
    setenv("USERPROFILE", "/profiles/tech", 1);
    EXPECT_EQ(user_download_dir(), "/profiles/tech/Downloads");
    unsetenv("USERPROFILE");
    EXPECT_EQ(user_download_dir(), std::nullopt);

    fs::remove_all(root);
}

}  // namespace
