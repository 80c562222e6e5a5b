// JSON values built in memory and written out as one compact text: the
// result document of a run (--json). Object members keep the order in which
// they were set; setting a member again replaces its value in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class json_kind { null, boolean, integer, number, string, array, object };

struct json_value {
    json_kind kind = json_kind::null;
    bool boolean = false;
    std::int64_t integer = 0;
    double number = 0;
    std::string text;
    std::vector<json_value> items;  // array; an object's member values
    std::vector<std::string> keys;  // object: the member names, one per item
};

json_value json_bool(bool value);
json_value json_int(std::int64_t value);
// A number written with at most three decimals ("1.5", "0.125").
json_value json_number(double value);
json_value json_text(std::string value);
json_value json_array();
json_value json_object();
// An array of texts.
json_value json_texts(const std::vector<std::string>& values);

void json_set(json_value* object, const std::string& key, json_value value);
void json_push(json_value* array, json_value value);

// The value as compact JSON text (UTF-8; a byte that is not part of valid
// UTF-8 becomes U+FFFD, control characters are escaped).
std::string json_write(const json_value& value);
