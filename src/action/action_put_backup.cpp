#include "action/action_put_backup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "backup/config_sets.h"
#include "channel/config_convert.h"
#include "main/actions.h"
#include "status/status.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

constexpr std::size_t TOOL_RECORD_LIMIT = 65535;
// The largest member a configuration set tar is taken to have; anything
// larger is damaged (or hostile) and is not unpacked into memory.
constexpr std::uint64_t SET_MEMBER_LIMIT = 64u * 1024 * 1024;
constexpr const char* TAG = "action_put_backup";

bool find_key(const char* key, const char* text, const char** after) {
    std::string needle = std::string("\"") + key + "\":";
    const char* found = std::strstr(text, needle.c_str());
    if (!found) return false;
    *after = found + needle.size();
    return true;
}

// Reads a whole file; false when it cannot be opened or read.
bool read_whole_file(const char* path, std::vector<unsigned char>* out) {
    file_ptr file(std::fopen(path, "rb"));
    if (!file) return false;
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) out->insert(out->end(), buffer, buffer + n);
    return std::ferror(file.get()) == 0;
}

// The one-member tar that restores a set: the file under its device path.
bool build_set_tar(const std::string& path, const std::vector<unsigned char>& file, std::vector<unsigned char>* out) {
    tar_archive tar;
    tar_mem_open_write(&tar, out);
    tar_header header;
    std::snprintf(header.name, sizeof header.name, "%s", path.c_str());
    header.mode = TAR_MODE_FILE;
    header.owner = 0;
    header.type = '0';
    header.size = static_cast<std::uint32_t>(file.size());
    header.mtime = static_cast<std::uint32_t>(std::time(nullptr));
    return tar_write_header(&tar, &header) == TAR_OK &&
           tar_write_data(&tar, file.data(), static_cast<std::uint32_t>(file.size())) == TAR_OK &&
           tar_finalize(&tar) == TAR_OK;
}

// Sends a single tar file unchanged.
int push_single_tar(const std::string& base, const char* address, const char* path) {
    tar_archive tar;
    int code = path ? tar_open(&tar, path, "r") : TAR_OPEN_FAILED;
    if (code != TAR_OK) {
        console_printf("Error %d opening tar file.", code);
        return 1;
    }
    tar_close(&tar);
    std::vector<unsigned char> bytes;
    if (!read_whole_file(path, &bytes) || bytes.empty()) {
        console_printf("Error %d opening tar file.", TAR_READ_FAILED);
        return 1;
    }
    if (backup_push(base.c_str(), address, bytes.data(), bytes.size()) != 0) return 1;
    console_printf("OK\n");
    return 0;
}

enum class member_outcome { skipped, restored, failed, stop };

// Restores one archive member when it is a configuration set.
member_outcome restore_member(mzsimple* zip, const status_record& status, const std::string& base,
                              const char* address, unsigned pct, set_push_fn push) {
    if (mzsimple_entry_is_dir(zip) != 0) return member_outcome::skipped;
    const restore_config_entry* entry = restore_config_find(mzsimple_entry_name(zip));
    if (!entry) return member_outcome::skipped;
    const char* path = entry->path.c_str();

    std::vector<unsigned char> member;
    if (mzsimple_entry_size(zip) > SET_MEMBER_LIMIT || mzsimple_entry_read(zip, &member) <= 0) {
        console_printf("%s\terror reading '%s'\r\n", TAG, path);
        return member_outcome::failed;
    }
    tar_mem_block block{member.data(), member.size()};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    tar_header header;
    if (tar_find(&tar, path, &header) != TAR_OK) {
        console_printf("%s\terror '%s' file not found.\r\n", TAG, path);
        return member_outcome::failed;
    }
    if (header.size == 0) {
        console_printf("%s\terror '%s' file size error\r\n", TAG, path);
        return member_outcome::failed;
    }
    std::vector<unsigned char> file;
    if (header.size > member.size()) {
        console_printf("%s\terror reading '%s'\r\n", TAG, path);
        return member_outcome::failed;
    }
    file.resize(header.size);
    if (tar_read_data(&tar, file.data(), header.size) != TAR_OK) {
        console_printf("%s\terror reading '%s'\r\n", TAG, path);
        return member_outcome::failed;
    }

    std::vector<unsigned char> converted;
    int result = config_convert(entry, &status, file.data(), file.size(), &converted);
    if (result == CONFIG_CONVERT_NOT_SUPPORTED) return member_outcome::stop;
    console_printf("%s\tpush backup file '%s'.\n", "backup", path);
    log_printf_color(COLOR_BLACK, "%u%% Restoring file %s...", pct, path);
    if (result != CONFIG_CONVERT_OK || converted.empty()) return member_outcome::failed;

    std::vector<unsigned char> set_tar;
    if (!build_set_tar(entry->path, converted, &set_tar)) return member_outcome::failed;
    if (push(base.c_str(), address, set_tar.data(), set_tar.size()) != 0) return member_outcome::failed;
    console_printf("\033[32m%s\tbackup push completed.\n\n\033[0m", "backup");
    return member_outcome::restored;
}

}  // namespace

bool integer_lookup(const char* key, const char* text, int* value) {
    const char* p = nullptr;
    if (!key || !text || !find_key(key, text, &p)) return false;
    while (*p && !(*p >= '0' && *p <= '9') && *p != '-') ++p;
    if (!*p) return false;
    *value = std::atoi(p);
    return true;
}

bool tool_record_accepted(const char* text) {
    const char* p = nullptr;
    if (!text || !find_key("tool_name", text, &p)) return false;
    p = std::strchr(p, '"');
    if (!p) return false;
    ++p;
    const char* end = std::strchr(p, '"');
    std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (length > 63) length = 63;
    if (std::string(p, length) != "ornat-cli") return false;
    int major = 0, minor = 0, revision = 0;
    if (!integer_lookup("version_major", text, &major) || !integer_lookup("version_minor", text, &minor) ||
        !integer_lookup("version_revision", text, &revision))
        return false;
    if (major != 1) return major < 1;
    if (minor != 3) return minor < 3;
    return revision <= 0;
}

bool backup_version_accepted(mzsimple* zip) {
    if (mzsimple_entry_open(zip, "tool.txt") != 0) return true;
    std::uint64_t size = mzsimple_entry_size(zip);
    bool accepted = true;
    if (size >= 1 && size <= TOOL_RECORD_LIMIT) {
        std::vector<unsigned char> text;
        if (mzsimple_entry_read(zip, &text) >= 0) {
            text.push_back('\0');
            accepted = tool_record_accepted(reinterpret_cast<const char*>(text.data()));
        } else {
            accepted = false;  // a tool record that cannot be read is an unreadable version
        }
    }
    mzsimple_entry_close(zip);
    return accepted;
}

int action_put_backup(const char* address, const char* path) {
    if (!address) {
        console_printf("Missing arguments for action put_backup.");
        return 2;
    }
    status_record status;
    int status_result = status_get(address, &status);
    if (status_result == 0) console_printf("model_name=%s\r\n", status.model_name->c_str());

    if (mzsimple_ptr zip = mzsimple_open(path, 0, 'r')) {
        bool accepted = backup_version_accepted(zip.get());
        mzsimple_close(std::move(zip));
        if (!accepted) {
            log_printf_color(COLOR_RED,
                             "The backup is not supported by the installed tool version. Please upgrade the tool software.");
            return 2;
        }
    }
    if (status_result != 0) return 1;

    std::string base;
    if (!base_url_for(address, &base)) return 1;

    mzsimple_ptr zip = mzsimple_open(path, 0, 'r');
    if (!zip) return push_single_tar(base, address, path);

    return restore_archive(zip.get(), status, base, address, backup_push);
}

int restore_archive(mzsimple* zip, const status_record& status, const std::string& base, const char* address,
                    set_push_fn push) {
    int result = 0;
    const std::int64_t n = mzsimple_entry_count(zip);
    for (std::int64_t i = 0; i < n; ++i) {
        const unsigned pct = static_cast<unsigned>(i * 100 / n);
        progress_set(static_cast<int>(pct));
        if (mzsimple_entry_open_index(zip, i) != 0) continue;
        member_outcome outcome = restore_member(zip, status, base, address, pct, push);
        mzsimple_entry_close(zip);
        if (outcome == member_outcome::failed) result = 1;
        if (outcome == member_outcome::stop) {
            // No later set may be pushed once a set cannot reach the
            // controller's layout.
            return 1;
        }
    }
    log_printf_color(COLOR_BLACK, "%u%% Restore operation completed.", 100u);
    return result;
}
