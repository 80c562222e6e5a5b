// The key and value pairs of the controller's status texts: flat JSON
// objects of string values. Keys and values pair up purely by the order of
// the string events inside an object: a string that may be a key becomes
// the pending key, and the next string is its value. Strings outside an
// object, numbers, literals and arrays are passed over (they neither
// complete nor drop a pending key); a JSON error ends the walk as the end of
// the text does.
//
// The two readers differ in two rules, given as `json_pair_rules`: which
// strings may become a pending key (the status read takes any string, the
// check of a fetched set only the four keys it looks for), and whether the
// start and end of an object drop a pending key (the status read's do).
#pragma once

#include <string>

struct json_pair_rules {
    bool (*may_be_key)(const std::string& text, void* context);  // null: any string
    bool boundaries_drop_key;
};

void json_pairs_walk(const char* text, const json_pair_rules& rules,
                     void (*on_pair)(const std::string& key, std::string&& value, void* context), void* context);
