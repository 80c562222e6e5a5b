// The controller's status: one flat JSON object of string values served at
// "/api/v100/status.ssi", read into 22 text fields.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transfer/controller_link.h"

struct status_record {
    std::optional<std::string> model_name;
    std::optional<std::string> firmware_version;
    std::optional<std::string> build_date;
    std::optional<std::string> license;
    std::optional<std::string> license_number;
    std::optional<std::string> hostname;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
    std::optional<std::string> rtc_temperature;
    std::optional<std::string> ram_memory;
    std::optional<std::string> flash_memory;
    std::optional<std::string> boot_count;
    std::optional<std::string> time;
    std::optional<std::string> uptime;
    std::optional<std::string> dali_channel_1;
    std::optional<std::string> dali_channel_2;
    std::optional<std::string> dali_channel_3;
    std::optional<std::string> dali_channel_4;
    std::optional<std::string> ip;
    std::optional<std::string> bacnet_ip;
    std::optional<std::string> session_id;
    std::optional<std::string> username;
    // Pairs of keys outside the 22 above, in reply order (kept for the
    // run's result document; nothing else reads them).
    std::vector<std::pair<std::string, std::string>> others;
};

// The JSON key and field of each status value, in record order.
struct status_field {
    const char* key;
    std::optional<std::string> status_record::*field;
};
extern const status_field STATUS_FIELDS[22];

// 0 when the status was received and carried a "model_name" string.
int status_get(const controller_link& link, status_record* record);
// Fills the record from one JSON text; 0 when "model_name" was stored.
// Keys and values pair up by the order of the string events inside the
// object; numbers, literals and arrays neither complete nor drop a pending
// key. A JSON error ends the parse as the end of the document would.
int status_parse(const char* text, std::size_t length, status_record* record);
int status_release(status_record* record);
