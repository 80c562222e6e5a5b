// The JSON pull parser: one pass over the text, at most one byte of look-ahead,
// and no recursion. Nesting lives in the reader's frame stack, so the depth
// is bounded by memory alone. Every failure, a syntax error or a failed
// allocation, sets the sticky error flag.
#include "json/json.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// What reading at the end of the text gives; no byte value equals it.
constexpr int END_MARK = -1;

constexpr std::size_t TOKEN_INITIAL_CAPACITY = 1024;

int take(json_reader* reader) {
    if (reader->position >= reader->length) {
        return END_MARK;
    }
    return reader->text[reader->position++];
}

int peek(const json_reader* reader) {
    if (reader->position >= reader->length) {
        return END_MARK;
    }
    return reader->text[reader->position];
}

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Takes the first byte that is not whitespace (or the end mark).
int take_after_space(json_reader* reader) {
    int c = take(reader);
    while (is_space(c)) {
        c = take(reader);
    }
    return c;
}

json_event fail(json_reader* reader) {
    reader->error = true;
    // A string or number cut short by the error has no final NUL yet; put one
    // in so that the token text stays a terminated string even though it
    // means nothing now.
    if (!reader->token.empty()) {
        std::size_t end = reader->token_fill < reader->token.size() ? reader->token_fill : reader->token.size() - 1;
        reader->token[end] = '\0';
    }
    return JSON_EVENT_ERROR;
}

// ---- the frame stack ------------------------------------------------------

json_frame& innermost(json_reader* reader) { return reader->stack.back(); }

bool push_frame(json_reader* reader, json_event kind) {
    try {
        reader->stack.push_back(json_frame{static_cast<std::uint32_t>(kind), 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

json_event close_container(json_reader* reader) {
    json_event end = innermost(reader).kind == JSON_EVENT_OBJECT ? JSON_EVENT_OBJECT_END : JSON_EVENT_ARRAY_END;
    reader->stack.pop_back();
    return end;
}

// Counts a member name or value in an object frame. The count only matters
// as odd (name read) or even above 0 (value read), so instead of wrapping to
// 0 at the 32-bit limit it steps back to 2.
void count_member(json_frame& frame) { frame.counter = frame.counter == UINT32_MAX ? 2 : frame.counter + 1; }

// ---- the token buffer -----------------------------------------------------

// Starts a new string or number, allocating the buffer at the first one.
bool token_start(json_reader* reader) {
    if (reader->token.empty()) {
        try {
            reader->token.resize(TOKEN_INITIAL_CAPACITY);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    reader->token_fill = 0;
    return true;
}

bool token_append(json_reader* reader, unsigned char byte) {
    if (reader->token_fill == reader->token.size()) {
        std::size_t doubled = reader->token.size() * 2;
        try {
            reader->token.reserve(doubled);
            reader->token.resize(doubled);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    reader->token[reader->token_fill++] = static_cast<char>(byte);
    return true;
}

// Appends a code point of at most 0x10FFFF in UTF-8.
bool token_append_utf8(json_reader* reader, std::uint32_t code_point) {
    unsigned char bytes[4];
    std::size_t count;
    if (code_point < 0x80) {
        bytes[0] = static_cast<unsigned char>(code_point);
        count = 1;
    } else if (code_point < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        count = 2;
    } else if (code_point < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        count = 3;
    } else {
        bytes[0] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
        bytes[3] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        count = 4;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!token_append(reader, bytes[i])) {
            return false;
        }
    }
    return true;
}

// Appends every digit that directly follows; gives the count, or -1 when
// the buffer could not grow.
long token_append_digits(json_reader* reader) {
    long count = 0;
    while (is_digit(peek(reader))) {
        if (!token_append(reader, static_cast<unsigned char>(take(reader)))) {
            return -1;
        }
        ++count;
    }
    return count;
}

// ---- strings --------------------------------------------------------------

struct escape_entry {
    char letter;          // the byte after the backslash
    unsigned char value;  // the byte it stands for
};

constexpr escape_entry ESCAPES[] = {
    {'"', '"'}, {'\\', '\\'}, {'/', '/'}, {'b', 0x08}, {'f', 0x0C}, {'n', 0x0A}, {'r', 0x0D}, {'t', 0x09},
};

// Lead bytes of multi-byte UTF-8 sequences with the range their second byte
// must lie in; the ranges exclude overlong forms, the surrogates
// (ED A0..ED BF) and code points above 0x10FFFF. Lead bytes not listed
// (0x80..0xC1, 0xF5..0xFF) never start a sequence.
struct utf8_lead_entry {
    unsigned char lead_first;
    unsigned char lead_last;
    unsigned char length;
    unsigned char second_min;
    unsigned char second_max;
};

constexpr utf8_lead_entry UTF8_LEADS[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F},
    {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

int hex_value(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads exactly four hexadecimal digits.
bool read_hex4(json_reader* reader, std::uint32_t* value) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_value(take(reader));
        if (digit < 0) {
            return false;
        }
        v = v * 16 + static_cast<std::uint32_t>(digit);
    }
    *value = v;
    return true;
}

// The part of a u escape after the letter u, surrogate pairs included.
bool read_unicode_escape(json_reader* reader) {
    std::uint32_t v;
    if (!read_hex4(reader, &v)) {
        return false;
    }
    if (v >= 0xDC00 && v <= 0xDFFF) {
        return false;  // a low surrogate without a high one
    }
    std::uint32_t code_point = v;
    if (v >= 0xD800 && v <= 0xDBFF) {
        std::uint32_t w;
        if (take(reader) != '\\' || take(reader) != 'u' || !read_hex4(reader, &w)) {
            return false;
        }
        if (w < 0xDC00 || w > 0xDFFF) {
            return false;
        }
        code_point = 0x10000 + ((v - 0xD800) << 10) + (w - 0xDC00);
    }
    return token_append_utf8(reader, code_point);
}

// The part of an escape after the backslash.
bool read_escape(json_reader* reader) {
    int c = take(reader);
    if (c == 'u') {
        return read_unicode_escape(reader);
    }
    for (const escape_entry& entry : ESCAPES) {
        if (c == static_cast<unsigned char>(entry.letter)) {
            return token_append(reader, entry.value);
        }
    }
    return false;  // the end mark or an unknown escape letter
}

// A raw UTF-8 sequence whose lead byte was taken. All bytes of the sequence
// are taken before any is checked; the end of the text counts as an invalid
// byte.
bool read_utf8_sequence(json_reader* reader, int lead) {
    const utf8_lead_entry* entry = nullptr;
    for (const utf8_lead_entry& candidate : UTF8_LEADS) {
        if (lead >= candidate.lead_first && lead <= candidate.lead_last) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        return false;
    }
    int rest[3] = {0, 0, 0};
    for (std::size_t i = 1; i < entry->length; ++i) {
        rest[i - 1] = take(reader);
    }
    if (rest[0] < entry->second_min || rest[0] > entry->second_max) {
        return false;
    }
    for (std::size_t i = 2; i < entry->length; ++i) {
        if (rest[i - 1] < 0x80 || rest[i - 1] > 0xBF) {
            return false;
        }
    }
    if (!token_append(reader, static_cast<unsigned char>(lead))) {
        return false;
    }
    for (std::size_t i = 1; i < entry->length; ++i) {
        if (!token_append(reader, static_cast<unsigned char>(rest[i - 1]))) {
            return false;
        }
    }
    return true;
}

// A string whose opening quote was taken; its decoded text goes to the token
// buffer.
json_event read_string(json_reader* reader) {
    if (!token_start(reader)) {
        return fail(reader);
    }
    for (;;) {
        int c = take(reader);
        bool ok;
        if (c == END_MARK) {
            ok = false;  // unterminated string
        } else if (c == '"') {
            return token_append(reader, 0) ? JSON_EVENT_STRING : fail(reader);
        } else if (c == '\\') {
            ok = read_escape(reader);
        } else if (c >= 0x80) {
            ok = read_utf8_sequence(reader, c);
        } else if (c < 0x20) {
            ok = false;  // unescaped control character
        } else {
            ok = token_append(reader, static_cast<unsigned char>(c));
        }
        if (!ok) {
            return fail(reader);
        }
    }
}

// ---- numbers and literals -------------------------------------------------

// A number whose first byte c ('-' or a digit) was taken; the text as written
// goes to the token buffer. The byte that ends the number stays unread.
json_event read_number(json_reader* reader, int c) {
    if (!token_start(reader) || !token_append(reader, static_cast<unsigned char>(c))) {
        return fail(reader);
    }
    if (c == '-') {
        c = take(reader);
        if (!is_digit(c) || !token_append(reader, static_cast<unsigned char>(c))) {
            return fail(reader);
        }
    }
    // A leading 0 stands alone: "01" is the number 0 followed by a 1.
    if (c != '0' && token_append_digits(reader) < 0) {
        return fail(reader);
    }
    if (peek(reader) == '.') {
        if (!token_append(reader, static_cast<unsigned char>(take(reader))) || token_append_digits(reader) < 1) {
            return fail(reader);
        }
    }
    int e = peek(reader);
    if (e == 'e' || e == 'E') {
        if (!token_append(reader, static_cast<unsigned char>(take(reader)))) {
            return fail(reader);
        }
        int sign = peek(reader);
        if ((sign == '+' || sign == '-') && !token_append(reader, static_cast<unsigned char>(take(reader)))) {
            return fail(reader);
        }
        if (token_append_digits(reader) < 1) {
            return fail(reader);
        }
    }
    return token_append(reader, 0) ? JSON_EVENT_NUMBER : fail(reader);
}

struct literal_entry {
    const char* word;
    json_event event;
};

constexpr literal_entry LITERALS[] = {
    {"true", JSON_EVENT_TRUE},
    {"false", JSON_EVENT_FALSE},
    {"null", JSON_EVENT_NULL},
};

// A literal whose first byte c was taken; the byte after it is not examined.
json_event read_literal(json_reader* reader, int c) {
    for (const literal_entry& literal : LITERALS) {
        if (c != literal.word[0]) {
            continue;
        }
        for (const char* rest = literal.word + 1; *rest != '\0'; ++rest) {
            if (take(reader) != *rest) {
                return fail(reader);
            }
        }
        return literal.event;
    }
    return fail(reader);
}

// A value that starts with the byte c, which was taken.
json_event read_value(json_reader* reader, int c) {
    reader->value_count += 1;
    switch (c) {
        case '"': return read_string(reader);
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return read_number(reader, c);
        case '[': return push_frame(reader, JSON_EVENT_ARRAY) ? JSON_EVENT_ARRAY : fail(reader);
        case '{': return push_frame(reader, JSON_EVENT_OBJECT) ? JSON_EVENT_OBJECT : fail(reader);
        default: return read_literal(reader, c);  // t, f, n; anything else fails there
    }
}

// A member name: c must open a string.
json_event read_member_name(json_reader* reader, int c) {
    if (c != '"') {
        return fail(reader);
    }
    reader->value_count += 1;
    json_event event = read_string(reader);
    if (event == JSON_EVENT_STRING) {
        count_member(innermost(reader));
    }
    return event;
}

json_event next_in_array(json_reader* reader, int c) {
    json_frame& frame = innermost(reader);
    if (frame.counter == 0) {
        if (c == ']') {
            return close_container(reader);
        }
        frame.counter = 1;
        return read_value(reader, c);
    }
    if (c == ',') {
        return read_value(reader, take_after_space(reader));
    }
    if (c == ']') {
        return close_container(reader);
    }
    return fail(reader);
}

json_event next_in_object(json_reader* reader, int c) {
    json_frame& frame = innermost(reader);
    if (frame.counter == 0) {
        if (c == '}') {
            return close_container(reader);
        }
        return read_member_name(reader, c);
    }
    if (frame.counter % 2 == 1) {
        if (c != ':') {
            return fail(reader);
        }
        // The value is counted before it is read, so the counter is even
        // again once the value (or a whole nested container) is complete.
        count_member(frame);
        return read_value(reader, take_after_space(reader));
    }
    if (c == ',') {
        return read_member_name(reader, take_after_space(reader));
    }
    if (c == '}') {
        return close_container(reader);
    }
    return fail(reader);
}

}  // namespace

void json_reader_open(json_reader* reader, const char* text) {
    if (reader == nullptr) {
        return;
    }
    // Assigning a fresh reader also releases anything left from an earlier
    // text that was not closed.
    *reader = json_reader{};
    if (text != nullptr) {
        reader->text = reinterpret_cast<const unsigned char*>(text);
        reader->length = std::strlen(text);
    }
}

json_event json_reader_next(json_reader* reader) {
    if (reader == nullptr || reader->error) {
        return JSON_EVENT_ERROR;
    }
    if (reader->value_count > 0 && reader->stack.empty()) {
        return JSON_EVENT_DONE;  // the rest of the text is never looked at
    }
    int c = take_after_space(reader);
    if (reader->stack.empty()) {
        if (c == END_MARK) {
            return JSON_EVENT_DONE;
        }
        return read_value(reader, c);
    }
    if (innermost(reader).kind == JSON_EVENT_ARRAY) {
        return next_in_array(reader, c);
    }
    return next_in_object(reader, c);
}

const char* json_reader_string(json_reader* reader, std::size_t* length) {
    if (reader == nullptr) {
        if (length != nullptr) {
            *length = 0;
        }
        return "";
    }
    if (length != nullptr) {
        *length = reader->token_fill;
    }
    return reader->token.empty() ? "" : reader->token.data();
}

double json_reader_number(json_reader* reader) {
    if (reader == nullptr || reader->token.empty()) {
        return 0.0;
    }
    return std::strtod(reader->token.data(), nullptr);
}

void json_reader_close(json_reader* reader) {
    if (reader == nullptr) {
        return;
    }
    *reader = json_reader{};
}
