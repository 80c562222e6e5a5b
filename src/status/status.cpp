#include "status/status.h"

#include <cstring>

#include "json/json.h"
#include "transfer/transfer.h"
#include "window/window.h"

const status_field STATUS_FIELDS[22] = {
    {"model_name", &status_record::model_name},
    {"firmware_version", &status_record::firmware_version},
    {"build_date", &status_record::build_date},
    {"license", &status_record::license},
    {"license_number", &status_record::license_number},
    {"hostname", &status_record::hostname},
    {"serial_number", &status_record::serial_number},
    {"mac", &status_record::mac},
    {"rtc_temperature", &status_record::rtc_temperature},
    {"ram_memory", &status_record::ram_memory},
    {"flash_memory", &status_record::flash_memory},
    {"boot_count", &status_record::boot_count},
    {"time", &status_record::time},
    {"uptime", &status_record::uptime},
    {"dali_channel_1", &status_record::dali_channel_1},
    {"dali_channel_2", &status_record::dali_channel_2},
    {"dali_channel_3", &status_record::dali_channel_3},
    {"dali_channel_4", &status_record::dali_channel_4},
    {"ip", &status_record::ip},
    {"bacnet_ip", &status_record::bacnet_ip},
    {"session_id", &status_record::session_id},
    {"username", &status_record::username},
};

int status_parse(const char* text, std::size_t length, status_record* record) {
    if (!record) return 1;
    std::string copy(text ? text : "", text ? length : 0);
    json_reader reader;
    json_reader_open(&reader, copy.c_str());
    bool in_object = false;
    std::optional<std::string> pending;
    int result = 1;
    for (bool more = true; more;) {
        switch (json_reader_next(&reader)) {
            case JSON_EVENT_OBJECT:
                pending.reset();
                in_object = true;
                break;
            case JSON_EVENT_OBJECT_END:
                pending.reset();
                in_object = false;
                break;
            case JSON_EVENT_STRING: {
                if (!in_object) break;
                // Texts end at their first NUL, as the controller's C strings do.
                std::string value(json_reader_string(&reader, nullptr));
                if (!pending) {
                    pending = std::move(value);
                    break;
                }
                for (const status_field& f : STATUS_FIELDS) {
                    if (*pending == f.key) {
                        record->*f.field = std::move(value);
                        if (f.field == &status_record::model_name) result = 0;
                        break;
                    }
                }
                pending.reset();
                break;
            }
            case JSON_EVENT_DONE:
            case JSON_EVENT_ERROR: more = false; break;
            default: break;
        }
    }
    json_reader_close(&reader);
    return result;
}

int status_release(status_record* record) {
    if (!record) return 1;
    *record = status_record{};
    return 0;
}

int status_get(const char* address, status_record* record) {
    if (!address || !record) return 1;
    *record = status_record{};
    std::string url = std::string(address) + "/api/v100/status.ssi";
    console_printf("%s\tfetching URL '%s'.\n", "status", url.c_str());
    std::vector<unsigned char> body;
    if (http_fetch(url, STATUS_REPLY_LIMIT, &body, nullptr) != 0) return 1;
    console_printf("%s\treceived %llu bytes.\n", "status", static_cast<unsigned long long>(body.size()));
    if (status_parse(reinterpret_cast<const char*>(body.data()), body.size(), record) != 0) {
        // The status read shows nothing in the log view: its callers decide
        // what a missing model means for the user.
        error_printf("The controller's status reply names no model.\n");
        return 1;
    }
    return 0;
}
