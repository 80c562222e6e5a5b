// A streaming (pull) JSON parser over a NUL-terminated text held in memory.
//
// The caller opens a reader on the text and asks for one event at a time;
// no tree is built. The parser accepts the JSON grammar (RFC 8259), stops
// after the first complete top-level value (whatever follows is never
// looked at), validates UTF-8 in strings byte by byte, decodes every escape
// (surrogate pairs included) to UTF-8 and has no nesting limit other than
// memory: the container stack is a vector, never the call stack.
//
// Once an error was returned every later call returns JSON_EVENT_ERROR;
// after JSON_EVENT_DONE every later call returns JSON_EVENT_DONE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum json_event : int {
    JSON_EVENT_NONE = 0,  // never returned
    JSON_EVENT_ERROR = 1,
    JSON_EVENT_DONE = 2,
    JSON_EVENT_OBJECT = 3,
    JSON_EVENT_OBJECT_END = 4,
    JSON_EVENT_ARRAY = 5,
    JSON_EVENT_ARRAY_END = 6,
    JSON_EVENT_STRING = 7,
    JSON_EVENT_NUMBER = 8,
    JSON_EVENT_TRUE = 9,
    JSON_EVENT_FALSE = 10,
    JSON_EVENT_NULL = 11,
};

// An open object or array. In an array the counter is 0 before the first
// element and 1 after it; in an object it counts member names and values
// (0 at the start, odd after a name, even after a value).
struct json_frame {
    std::uint32_t kind;  // JSON_EVENT_OBJECT or JSON_EVENT_ARRAY
    std::uint32_t counter;
};

struct json_reader {
    const unsigned char* text = nullptr;
    std::size_t length = 0;
    std::size_t position = 0;
    std::size_t value_count = 0;
    std::vector<json_frame> stack;  // open containers, innermost last
    std::vector<char> token;        // last string or number, NUL-terminated; its size is
                                    // the capacity: 1024 at first, doubled when full
    std::size_t token_fill = 0;     // bytes used, the NUL included
    bool error = false;
};

void json_reader_open(json_reader* reader, const char* text);
json_event json_reader_next(json_reader* reader);
// The last string (decoded) or number (as written); "" when none was read.
// With a length place, stores the token fill, which counts the final NUL.
const char* json_reader_string(json_reader* reader, std::size_t* length);
double json_reader_number(json_reader* reader);
void json_reader_close(json_reader* reader);
