// The libcsv reading loop and the value forms shared by the CSV imports.
#include "import/csv_common.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/handles.h"
#include "platform/platform.h"
#include "window/window.h"

namespace {

std::size_t text_length(const char* text, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

// Spreadsheet programs start a UTF-8 CSV file with this mark; libcsv passes
// it on as part of the first field, which would hide the version line.
constexpr unsigned char UTF8_BOM[3] = {0xEF, 0xBB, 0xBF};

// libcsv calls these from C code: nothing may be thrown through them.
void csv_field_callback(void* field, std::size_t length, void* data) noexcept {
    auto* state = static_cast<csv_row_state*>(data);
    const csv_import_format* format = state->format;
    const char* text = field != nullptr ? static_cast<const char*>(field) : "";
    if (field == nullptr) length = 0;

    if (length > 0 && text[0] == '#') {
        state->comment = 1;
        const std::size_t header_length = std::strlen(format->version_header);
        if (std::strncmp(text, format->version_header, header_length) == 0) {
            state->version = csv_int(text + header_length);
        }
    }
    if (state->field_index == 0) state->semicolon = std::memchr(text, ';', length) != nullptr;
    if (state->comment == 0 && state->version == 1 && state->field_index < format->field_count) {
        format->store_field(state->values, state->field_index, text, length);
    }
    ++state->field_index;
}

void csv_row_callback(int, void* data) noexcept {
    auto* state = static_cast<csv_row_state*>(data);
    const csv_import_format* format = state->format;
    const bool data_row = state->comment == 0 && state->version == 1;
    if (!state->stop && data_row && state->field_index == 1 && state->semicolon) {
        state->result = IMPORTCSV_NO_DATA_ROW;
        state->stop = true;
    }
    if (!state->stop && data_row && state->field_index == format->field_count) {
        ++state->data_rows;
        format->write_row(state);
    }
    format->clear_row(state->values);
    state->comment = 0;
    state->field_index = 0;
    ++state->row_count;
}

}  // namespace

int csv_import_run(const csv_import_format* format, void* values, const backup_set_data* set, const char* path,
                   channel_record* record) {
    if (format == nullptr || values == nullptr || path == nullptr || record == nullptr) {
        return IMPORTCSV_DONE;
    }
    file_ptr file(platform_fopen(path, "rb"));
    if (!file) return IMPORTCSV_OPEN_FAILED;

    csv_parser parser{};
    if (csv_init(&parser, 0) != 0) return IMPORTCSV_INIT_FAILED;
    csv_parser_guard guard(&parser);
    csv_set_opts(&parser, CSV_APPEND_NULL);

    csv_row_state state;
    state.record = record;
    state.set = set;
    state.format = format;
    state.values = values;
    format->clear_row(values);

    unsigned char chunk[CSV_CHUNK_SIZE];
    bool first = true;
    for (;;) {
        std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
        if (n == 0) {
            // A read error (a directory, an I/O failure) counts as unreadable.
            if (std::ferror(file.get())) return IMPORTCSV_OPEN_FAILED;
            break;
        }
        const unsigned char* bytes = chunk;
        if (first && n >= sizeof UTF8_BOM && std::memcmp(chunk, UTF8_BOM, sizeof UTF8_BOM) == 0) {
            bytes += sizeof UTF8_BOM;
            n -= sizeof UTF8_BOM;
        }
        first = false;
        if (csv_parse(&parser, bytes, n, csv_field_callback, csv_row_callback, &state) != n) {
            error_printf("Error while parsing file: %s\n", csv_strerror(csv_error(&parser)));
            return IMPORTCSV_PARSE_FAILED;
        }
        if (state.stop) return state.result;
    }
    csv_fini(&parser, csv_field_callback, csv_row_callback, &state);
    if (state.stop) return state.result;

    console_printf("%lu fields, %lu rows\n", static_cast<unsigned long>(state.field_index),
                   static_cast<unsigned long>(state.row_count));
    // Without a firmware version there is no layout: every data row was dropped.
    if (csv_firmware_version(&state) == nullptr) return IMPORTCSV_NO_FIRMWARE;
    if (state.data_rows == 0) return IMPORTCSV_NO_DATA_ROW;
    return state.result;
}

const char* csv_firmware_version(const csv_row_state* state) {
    if (state->set == nullptr || !state->set->firmware_version) return nullptr;
    return state->set->firmware_version->c_str();
}

std::int32_t csv_int(const char* text) {
    // strtol saturates instead of overflowing; the conversion keeps the low
    // 32 bits, as atoi does on this platform.
    return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
}

std::uint32_t csv_truncate(double value) {
    if (!std::isfinite(value)) return 0;
    double low = std::fmod(std::trunc(value), 4294967296.0);
    if (low < 0) low += 4294967296.0;
    return static_cast<std::uint32_t>(low);
}

std::uint32_t csv_json_int(const char* text) {
    json_reader reader;
    json_reader_open(&reader, text);
    std::uint32_t value = 0;
    for (bool more = true; more;) {
        switch (json_reader_next(&reader)) {
            case JSON_EVENT_ERROR:
            case JSON_EVENT_DONE: more = false; break;
            case JSON_EVENT_NUMBER: value = csv_truncate(json_reader_number(&reader)); break;
            case JSON_EVENT_STRING:
                value = static_cast<std::uint32_t>(csv_int(json_reader_string(&reader, nullptr)));
                break;
            case JSON_EVENT_NULL: value = 255; break;
            default: break;
        }
    }
    json_reader_close(&reader);
    return value;
}

void csv_json_list_open(csv_json_list* list, const char* text) {
    json_reader_open(&list->reader, text);
    list->inside = false;
    list->ended = false;
}

bool csv_json_list_next(csv_json_list* list, bool null_is_255, std::uint32_t* value) {
    while (!list->ended) {
        switch (json_reader_next(&list->reader)) {
            case JSON_EVENT_ERROR:
            case JSON_EVENT_DONE:
            case JSON_EVENT_ARRAY_END: list->ended = true; break;
            case JSON_EVENT_ARRAY: list->inside = true; break;
            case JSON_EVENT_NUMBER:
                if (list->inside) {
                    *value = csv_truncate(json_reader_number(&list->reader));
                    return true;
                }
                break;
            case JSON_EVENT_STRING:
                if (list->inside) {
                    *value = static_cast<std::uint32_t>(csv_int(json_reader_string(&list->reader, nullptr)));
                    return true;
                }
                break;
            case JSON_EVENT_NULL:
                if (list->inside && null_is_255) {
                    *value = 255;
                    return true;
                }
                break;
            default: break;
        }
    }
    return false;
}

void csv_json_list_close(csv_json_list* list) { json_reader_close(&list->reader); }

std::size_t csv_json_list_read(const char* text, bool null_is_255, std::uint32_t* values, std::size_t capacity) {
    csv_json_list list;
    csv_json_list_open(&list, text);
    std::size_t count = 0;
    std::uint32_t value = 0;
    while (count < capacity && csv_json_list_next(&list, null_is_255, &value)) values[count++] = value;
    csv_json_list_close(&list);
    return count;
}

void csv_keep_text(char (&out)[CSV_TEXT_MAX + 1], const char* text) {
    const std::size_t n = text_length(text, CSV_TEXT_MAX);
    std::memcpy(out, text, n);
    std::memset(out + n, 0, sizeof out - n);
}

void csv_put_name(unsigned char* field, std::size_t size, const char* text) {
    const std::size_t n = text_length(text, size - 1);
    std::memcpy(field, text, n);
    std::memset(field + n, 0, size - n);
}
