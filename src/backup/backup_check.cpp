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
#include "json/json.h"
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

// Walks the status text: between an object start and the next object end a
// string that names a key makes it pending, and the next string becomes the
// pending key's value. Other events pass; an error or the end stops.
status_values read_status(const char* text) {
    status_values values;
    json_reader reader;
    json_reader_open(&reader, text);
    bool in_object = false;
    std::size_t pending = NO_KEY;
    for (;;) {
        const json_event event = json_reader_next(&reader);
        if (event == JSON_EVENT_ERROR || event == JSON_EVENT_DONE) {
            break;
        }
        if (event == JSON_EVENT_OBJECT) {
            in_object = true;
        } else if (event == JSON_EVENT_OBJECT_END) {
            in_object = false;
        } else if (event == JSON_EVENT_STRING && in_object) {
            const char* string = json_reader_string(&reader, nullptr);
            if (pending != NO_KEY) {
                values[pending] = std::string(string);
                pending = NO_KEY;
            } else {
                pending = find_key(string);
            }
        }
    }
    json_reader_close(&reader);
    return values;
}

// A field of a tar header that holds an octal number: leading spaces, one
// or more octal digits, then only NUL bytes and spaces.
bool octal_field(const unsigned char* field, std::size_t length) {
    std::size_t i = 0;
    while (i < length && field[i] == ' ') {
        ++i;
    }
    const std::size_t digits = i;
    while (i < length && field[i] >= '0' && field[i] <= '7') {
        ++i;
    }
    if (i == digits) {
        return false;
    }
    for (; i < length; ++i) {
        if (field[i] != '\0' && field[i] != ' ') {
            return false;
        }
    }
    return true;
}

// Whether the reply starts with a record shaped like a tar header (octal
// size and checksum fields), whatever its checksum says. An HTML page does
// not.
bool starts_with_header(const std::vector<unsigned char>& data) {
    constexpr std::size_t SIZE_AT = 124, SIZE_LENGTH = 12, CHECKSUM_AT = 148, CHECKSUM_LENGTH = 8;
    return data.size() >= TAR_RECORD_SIZE && octal_field(data.data() + SIZE_AT, SIZE_LENGTH) &&
           octal_field(data.data() + CHECKSUM_AT, CHECKSUM_LENGTH);
}

}  // namespace

int backup_list_tar(const std::vector<unsigned char>& tar, int* count) {
    console_printf("%s\tbackup file contains: \r\n", TAG);
    std::vector<tar_header> members;
    bool last_cut = false;
    const int rc = tar_mem_list(tar.data(), tar.size(), &members, &last_cut);
    for (const tar_header& header : members) {
        console_printf("\t%s (%d bytes)\r\n", header.name, static_cast<int>(header.size));
    }
    if (rc != TAR_OK) {
        console_printf("\tfile error %d.\r\n", rc);
    }
    // A member whose data runs past the tar is listed but not counted.
    *count = static_cast<int>(members.size()) - (last_cut ? 1 : 0);
    if (rc != TAR_OK) {
        return rc;
    }
    return members.empty() ? 1 : 0;
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

int backup_fetch_set(const char* base, const char* set_name, backup_set_data* set) {
    *set = backup_set_data{};
    if (backup_fetch(base, set_name, &set->data, &set->http_status) != 0) {
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
        return rc == TAR_OK || !starts_with_header(set.data) ? backup_set_state::absent : backup_set_state::damaged;
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
