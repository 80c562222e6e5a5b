// The check of one fetched configuration set: list the tar, read the four
// values of its "status.txt" and decide whether the set exists.
#include "backup/backup_check.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "json/json.h"
#include "tar/tar.h"
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

std::size_t find_key(const char* text)
{
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
status_values read_status(const char* text)
{
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

// Prints the members; returns the last listing code (0 when the listing
// reached the null record after at least one member, 1 for an empty tar)
// and counts the members.
int list_members(tar_archive* tar, int* count)
{
    int last = 1;
    *count = 0;
    for (;;) {
        tar_header header;
        int rc = tar_read_header(tar, &header);
        if (rc == TAR_NULL_RECORD) {
            break;
        }
        if (rc != TAR_OK) {
            console_printf("\tfile error %d.\r\n", rc);
            return rc;
        }
        console_printf("\t%s (%d bytes)\r\n", header.name, static_cast<int>(header.size));
        rc = tar_next(tar);
        if (rc != TAR_OK) {
            console_printf("\tfile error %d.\r\n", rc);
            return rc;
        }
        last = 0;
        ++*count;
    }
    return last;
}

}  // namespace

int backup_check(backup_set_data* set)
{
    if (set == nullptr || set->data.empty()) {
        return 1;
    }
    tar_mem_block block{set->data.data(), set->data.size()};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    console_printf("%s\tbackup file contains: \r\n", TAG);

    int count = 0;
    const int last = list_members(&tar, &count);
    // A set tar holds the set's file and "status.txt": one member or none
    // means that the controller has no such set.
    const bool short_tar = count <= 1;
    const int failed = short_tar ? 3 : last;

    tar_header status;
    if (tar_find(&tar, STATUS_NAME, &status) != TAR_OK) {
        console_printf("%s\terror status.txt file not found.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error, status.txt file not found.");
        return short_tar ? 3 : 2;
    }
    if (status.size == 0) {
        console_printf("%s\terror status.txt file size error.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error, status.txt file size error.");
        return failed;
    }
    // A member that claims more bytes than the block holds cannot be read;
    // it is reported as a read failure without reserving its claimed size.
    const std::uint64_t data_end = std::uint64_t{tar.pos} + TAR_RECORD_SIZE + status.size;
    std::vector<char> text;
    if (data_end <= block.size) {
        try {
            text.resize(std::size_t{status.size} + 1);
        } catch (const std::bad_alloc&) {
            return failed;
        }
    }
    if (text.empty() || tar_read_data(&tar, text.data(), status.size) != TAR_OK) {
        console_printf("%s\terror reading status.txt.\r\n", TAG);
        log_printf_color(COLOR_RED, "Error reading status.txt.");
        return failed;
    }
    text[status.size] = '\0';

    status_values values = read_status(text.data());
    for (std::size_t i = 0; i < STATUS_KEYS.size(); ++i) {
        console_printf("%s\t%s: %s\r\n", TAG, STATUS_KEYS[i].label,
                       values[i] ? values[i]->c_str() : "(null)");
        set->*STATUS_KEYS[i].field = std::move(values[i]);
    }
    return short_tar ? 3 : 0;
}
