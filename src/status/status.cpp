#include "status/status.h"

#include <cstring>

#include "json/json_pairs.h"
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
    struct parse_state {
        status_record* record;
        int result = 1;
    } state{record};
    const json_pair_rules rules{nullptr, true};
    json_pairs_walk(
        copy.c_str(), rules,
        [](const std::string& key, std::string&& value, void* context) {
            auto* s = static_cast<parse_state*>(context);
            for (const status_field& f : STATUS_FIELDS) {
                if (key != f.key) continue;
                s->record->*f.field = std::move(value);
                if (f.field == &status_record::model_name) s->result = 0;
                return;
            }
            s->record->others.emplace_back(key, std::move(value));
        },
        &state);
    return state.result;
}

int status_release(status_record* record) {
    if (!record) return 1;
    *record = status_record{};
    return 0;
}

int status_get(const controller_link& link, status_record* record) {
    if (!record) return 1;
    *record = status_record{};
    std::string url = endpoint_url(link, endpoint::status);
    console_printf("%s\tfetching URL '%s'.\n", "status", url.c_str());
    std::vector<unsigned char> body;
    transfer_result result;
    if (http_fetch(link.settings, url, STATUS_REPLY_LIMIT, &body, &result) != 0) {
        // Shown on standard error only; the run's result still says why.
        message_note(message_level::error, std::string("The controller's status could not be read: ") +
                                               transfer_error_text(result.code) + ".");
        return 1;
    }
    console_printf("%s\treceived %llu bytes.\n", "status", static_cast<unsigned long long>(body.size()));
    if (status_parse(reinterpret_cast<const char*>(body.data()), body.size(), record) != 0) {
        // The status read shows nothing in the log view: its callers decide
        // what a missing model means for the user.
        error_printf("The controller's status reply names no model.\n");
        message_note(message_level::error, "The controller's status reply names no model.");
        return 1;
    }
    return 0;
}
