// Feeds arbitrary bytes to the JSON pull parser. The input is copied and
// NUL-terminated (the parser reads up to the first NUL), every event is
// pulled until DONE or ERROR, and the token text and number are read after
// each event. Besides the sanitizers, the loop checks the token invariants:
// after a string or number the reported length counts a final NUL, and a
// number's text holds no other NUL. Then the same bytes as a status reply.
#include "json/json.h"
#include "status/status.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    json_reader reader;
    json_reader_open(&reader, text.c_str());
    std::size_t depth = 0;
    json_event event;
    do {
        event = json_reader_next(&reader);
        std::size_t length = 0;
        const char* token = json_reader_string(&reader, &length);
        volatile double number = json_reader_number(&reader);
        (void)number;
        const std::size_t text_length = std::strlen(token);  // a terminated text at any time
        const bool token_event = event == JSON_EVENT_STRING || event == JSON_EVENT_NUMBER;
        if (token_event && (length == 0 || token[length - 1] != '\0')) std::abort();
        if (event == JSON_EVENT_NUMBER && text_length + 1 != length) std::abort();
        if (event == JSON_EVENT_ARRAY || event == JSON_EVENT_OBJECT) ++depth;
        if (event == JSON_EVENT_ARRAY_END || event == JSON_EVENT_OBJECT_END) {
            if (depth == 0) std::abort();  // a closer without an opener
            --depth;
        }
        if (event == JSON_EVENT_NONE || (event == JSON_EVENT_DONE && depth != 0)) std::abort();
    } while (event != JSON_EVENT_DONE && event != JSON_EVENT_ERROR);
    if (json_reader_next(&reader) != event) std::abort();  // both are sticky
    json_reader_close(&reader);
    // The controller's status reply goes through the key and value walker.
    status_record status;
    if (status_parse(text.data(), text.size(), &status) == 0 && !status.model_name) std::abort();
    return 0;
}
