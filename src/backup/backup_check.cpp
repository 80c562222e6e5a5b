// The check of one fetched configuration set: list the tar, read the four
// values of its "status.txt" and decide whether the set exists.
#include "backup/backup_check.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "backup/config_sets.h"
#include "json/json_pairs.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

constexpr const char* TAG = "backup";
constexpr const char* STATUS_NAME = "status.txt";

// The status values the check looks for, with the record field each one
// fills and the label of its console line.
struct status_key {
    const char* key;
    std::optional<std::string> backup_set_data::*field;
    const char* label;
};

constexpr std::array<status_key, 4> STATUS_KEYS = {{
    {"model_name", &backup_set_data::model_name, "model name"},
    {"firmware_version", &backup_set_data::firmware_version, "firmware version"},
    {"serial_number", &backup_set_data::serial_number, "serial number"},
    {"mac", &backup_set_data::mac, "mac"},
}};

constexpr std::size_t NO_KEY = STATUS_KEYS.size();

using status_values = std::array<std::optional<std::string>, STATUS_KEYS.size()>;

std::size_t find_key(const char* text) {
    for (std::size_t i = 0; i < STATUS_KEYS.size(); ++i) {
        if (std::string_view(text) == STATUS_KEYS[i].key) {
            return i;
        }
    }
    return NO_KEY;
}

// The four values of a status text. A string becomes a pending key only
// when it names one of the four; object boundaries keep a pending key.
status_values read_status(const char* text) {
    status_values values;
    const json_pair_rules rules{[](const std::string& text, void*) { return find_key(text.c_str()) != NO_KEY; }, false};
    json_pairs_walk(
        text, rules,
        [](const std::string& key, std::string&& value, void* context) {
            (*static_cast<status_values*>(context))[find_key(key.c_str())] = std::move(value);
        },
        &values);
    return values;
}

}  // namespace

int backup_list_tar(const std::vector<unsigned char>& tar, int* count) {
    console_printf("%s\tbackup file contains: \r\n", TAG);
    // Each member is listed once its header reads, and counted once the
    // walk can move past it.
    tar_mem_block block{tar.data(), tar.size()};
    tar_archive reader;
    tar_mem_open_read(&reader, &block);
    *count = 0;
    for (;;) {
        tar_header header;
        int rc = tar_read_header(&reader, &header);
        if (rc == TAR_NULL_RECORD) break;
        if (rc == TAR_OK) {
            console_printf("\t%s (%d bytes)\r\n", shown_name(header.name).c_str(), static_cast<int>(header.size));
            rc = tar_next(&reader);
        }
        if (rc != TAR_OK) {
            console_printf("\tfile error %d.\r\n", rc);
            return rc;
        }
        ++*count;
    }
    return *count == 0 ? 1 : 0;
}

int backup_check(backup_set_data* set) {
    if (set == nullptr || set->data.empty()) {
        return 1;
    }
    int count = 0;
    const int last = backup_list_tar(set->data, &count);
    // A set tar holds the set's file and "status.txt": one member or none
    // means that the controller has no such set.
    const bool short_tar = count <= 1;
    const int failed = short_tar ? 3 : last;

    std::vector<unsigned char> text;
    const int rc = tar_mem_member_read(set->data.data(), set->data.size(), STATUS_NAME, &text);
    if (rc == TAR_NOT_FOUND) {
        console_printf("%s\terror status.txt file not found.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error, status.txt file not found.");
        return short_tar ? 3 : 2;
    }
    if (rc == TAR_OK && text.empty()) {
        console_printf("%s\terror status.txt file size error.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error, status.txt file size error.");
        return failed;
    }
    if (rc != TAR_OK) {
        console_printf("%s\terror reading status.txt.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error reading status.txt.");
        return failed;
    }
    text.push_back('\0');

    status_values values = read_status(reinterpret_cast<const char*>(text.data()));
    for (std::size_t i = 0; i < STATUS_KEYS.size(); ++i) {
        console_printf("%s\t%s: %s\r\n", TAG, STATUS_KEYS[i].label, values[i] ? values[i]->c_str() : "(null)");
        set->*STATUS_KEYS[i].field = std::move(values[i]);
    }
    return short_tar ? 3 : 0;
}

int backup_fetch_set(const controller_link& link, const char* set_name, backup_set_data* set) {
    *set = backup_set_data{};
    if (backup_fetch(link, set_name, &set->data, &set->http_status) != 0) {
        return BACKUP_FETCH_TRANSFER_FAILED;
    }
    return backup_check(set);
}

backup_set_state backup_set_classify(const char* set_name, int fetch_result, const backup_set_data& set) {
    if (fetch_result == BACKUP_FETCH_TRANSFER_FAILED) {
        return backup_set_state::damaged;
    }
    if (set.http_status == 404) {
        return backup_set_state::absent;
    }
    if (set.http_status != 0 && (set.http_status < 200 || set.http_status > 299)) {
        return backup_set_state::damaged;
    }
    if (set.data.empty()) {
        return backup_set_state::absent;
    }
    std::vector<tar_header> members;
    const int rc = tar_mem_list(set.data.data(), set.data.size(), &members);
    if (members.empty()) {
        return rc == TAR_OK || !tar_header_shaped(set.data.data(), set.data.size()) ? backup_set_state::absent
                                                                                    : backup_set_state::damaged;
    }
    if (rc != TAR_OK) {
        return backup_set_state::damaged;
    }
    const restore_config_entry* entry =
        set_name != nullptr ? restore_config_find(std::string(set_name) + ".tar") : nullptr;
    bool has_status = false;
    bool has_file = false;
    std::size_t others = 0;
    for (const tar_header& header : members) {
        const std::string_view name(header.name);
        if (name == STATUS_NAME) {
            has_status = true;
        } else {
            ++others;
            has_file = has_file || (entry != nullptr && name == entry->path);
        }
    }
    if (!has_status) {
        return backup_set_state::damaged;
    }
    if (others == 0) {
        return backup_set_state::absent;
    }
    return entry == nullptr || has_file ? backup_set_state::present : backup_set_state::damaged;
}
