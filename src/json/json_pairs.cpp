#include "json/json_pairs.h"

#include <optional>

#include "json/json.h"

void json_pairs_walk(const char* text, const json_pair_rules& rules,
                     void (*on_pair)(const std::string& key, std::string&& value, void* context), void* context) {
    json_reader reader;
    json_reader_open(&reader, text);
    bool in_object = false;
    std::optional<std::string> pending;
    for (bool more = true; more;) {
        switch (json_reader_next(&reader)) {
            case JSON_EVENT_OBJECT:
                if (rules.boundaries_drop_key) pending.reset();
                in_object = true;
                break;
            case JSON_EVENT_OBJECT_END:
                // Also the end of an inner object: what follows it is outside.
                if (rules.boundaries_drop_key) pending.reset();
                in_object = false;
                break;
            case JSON_EVENT_STRING: {
                if (!in_object) break;
                // Texts end at their first NUL, as the controller's C strings do.
                std::string string(json_reader_string(&reader, nullptr));
                if (pending) {
                    on_pair(*pending, std::move(string), context);
                    pending.reset();
                } else if (!rules.may_be_key || rules.may_be_key(string, context)) {
                    pending = std::move(string);
                }
                break;
            }
            case JSON_EVENT_DONE:
            case JSON_EVENT_ERROR: more = false; break;
            default: break;
        }
    }
    json_reader_close(&reader);
}
