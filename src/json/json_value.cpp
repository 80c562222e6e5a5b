#include "json/json_value.h"

#include <cmath>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at `s` (1 to 4), or 0.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || n > left) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points above U+10FFFF.
    const unsigned code = n == 1   ? c
                          : n == 2 ? (c & 0x1Fu) << 6 | (s[1] & 0x3Fu)
                          : n == 3 ? (c & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu)
                                   : (c & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
    const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return n;
}

void write_string(const std::string& text, std::string* out) {
    out->push_back('"');
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
            char escape[8];
            if (!named) std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out->append(named ? named : escape);
            ++i;
        } else if (const std::size_t n = utf8_length(s + i, text.size() - i); n > 0) {
            out->append(text, i, n);
            i += n;
        } else {
            out->append("\\ufffd");
            ++i;
        }
    }
    out->push_back('"');
}

void write_value(const json_value& value, std::string* out) {
    switch (value.kind) {
        case json_kind::null: out->append("null"); break;
        case json_kind::boolean: out->append(value.boolean ? "true" : "false"); break;
        case json_kind::integer: out->append(std::to_string(value.integer)); break;
        case json_kind::number: {
            if (!std::isfinite(value.number)) {
                out->append("null");
                break;
            }
            char text[48];
            std::snprintf(text, sizeof text, "%.3f", value.number);
            std::string number(text);
            while (number.back() == '0') number.pop_back();
            if (number.back() == '.') number.pop_back();
            out->append(number);
            break;
        }
        case json_kind::string: write_string(value.text, out); break;
        case json_kind::array:
            out->push_back('[');
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (i) out->push_back(',');
                write_value(value.items[i], out);
            }
            out->push_back(']');
            break;
        case json_kind::object:
            out->push_back('{');
            for (std::size_t i = 0; i < value.keys.size(); ++i) {
                if (i) out->push_back(',');
                write_string(value.keys[i], out);
                out->push_back(':');
                write_value(value.items[i], out);
            }
            out->push_back('}');
            break;
    }
}

}  // namespace

json_value json_bool(bool value) {
    json_value v;
    v.kind = json_kind::boolean;
    v.boolean = value;
    return v;
}

json_value json_int(std::int64_t value) {
    json_value v;
    v.kind = json_kind::integer;
    v.integer = value;
    return v;
}

json_value json_number(double value) {
    json_value v;
    v.kind = json_kind::number;
    v.number = value;
    return v;
}

json_value json_text(std::string value) {
    json_value v;
    v.kind = json_kind::string;
    v.text = std::move(value);
    return v;
}

json_value json_array() {
    json_value v;
    v.kind = json_kind::array;
    return v;
}

json_value json_object() {
    json_value v;
    v.kind = json_kind::object;
    return v;
}

json_value json_texts(const std::vector<std::string>& values) {
    json_value array = json_array();
    for (const std::string& value : values) array.items.push_back(json_text(value));
    return array;
}

void json_set(json_value* object, const std::string& key, json_value value) {
    for (std::size_t i = 0; i < object->keys.size(); ++i) {
        if (object->keys[i] == key) {
            object->items[i] = std::move(value);
            return;
        }
    }
    object->keys.push_back(key);
    object->items.push_back(std::move(value));
}

void json_push(json_value* array, json_value value) { array->items.push_back(std::move(value)); }

std::string json_write(const json_value& value) {
    std::string out;
    write_value(value, &out);
    return out;
}
