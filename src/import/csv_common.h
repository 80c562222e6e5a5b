// The part shared by the channel, groups and inputs CSV imports: the libcsv
// reading loop, the comment and version-line rule, and the value forms that
// turn a field's text into numbers.
//
// File text: CSV with comma separator and double-quote quoting, one row per
// line, no title row. A field that starts with "#" makes its row a comment
// row, never stored; if that field begins with the import's version header
// (for example "#dali-channel-csv-version: "), the number right after the
// header becomes the file's version. Only rows after a version line with
// the number 1, with exactly the import's number of fields, are stored: these
// are the file's data rows. A file without any data row, or with a row after
// the version line that is one field holding ';', is refused: spreadsheet
// programs in many locales separate fields with ';', and such a file would
// otherwise change nothing without a word. A UTF-8 byte-order mark at the
// very start of the file is skipped.
//
// Value forms:
//   int        atoi of the field, kept to the column's width by the caller
//   json-int   the field read as JSON: numbers (truncated toward zero),
//              strings (atoi of their text) and null (255); the last one wins,
//              an empty or invalid field gives 0
//   json-list  the values of a JSON array field: everything before the first
//              "[" is ignored, numbers and strings are taken in order, the
//              first "]" (also of a nested array), the end or an error ends it
//   text       the field itself (the imports keep at most 32 characters)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <csv.h>

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "json/json.h"

// Results of importcsv, importcsv_groups and importcsv_cd.
enum : int {
    IMPORTCSV_DONE = 1,          // the file was read to its end (also: no path or no record)
    IMPORTCSV_INIT_FAILED = 2,   // libcsv could not be initialised
    IMPORTCSV_OPEN_FAILED = 3,   // the file cannot be opened or read; record unchanged, no message
    IMPORTCSV_PARSE_FAILED = 4,  // libcsv did not consume a chunk ("Error while parsing file");
                                 // the run should end with exit status 1
    IMPORTCSV_UNSUPPORTED = 5,   // importcsv_cd: channel layout code not 3 ("error version %s
                                 // not supported."); reading stopped, the run should end
    IMPORTCSV_NO_FIRMWARE = 6,   // the fetched set (or its firmware version text) is missing:
                                 // the file was read, every data row dropped, nothing stored
    IMPORTCSV_NO_DATA_ROW = 7,   // the file holds no data row, or a data row that is one field
                                 // holding ';' (a file separated by semicolons); reading stopped
                                 // there, and what was stored must not be used
};

constexpr std::size_t CSV_CHUNK_SIZE = 1024;
constexpr std::size_t CSV_TEXT_MAX = 32;  // characters of a text field that are kept

// Releases what csv_init and csv_parse allocated inside a parser object that
// lives elsewhere (the object itself is not freed).
struct csv_parser_deleter {
    void operator()(csv_parser* parser) const noexcept { csv_free(parser); }
};
using csv_parser_guard = std::unique_ptr<csv_parser, csv_parser_deleter>;

struct csv_row_state;

// What makes one import: its version header, its number of fields, and how
// it keeps a field and writes a complete row. `values` is the import's own
// row state.
struct csv_import_format {
    const char* version_header;  // with its final blank
    std::uint32_t field_count;
    void (*store_field)(void* values, std::uint32_t column, const char* text, std::size_t length);
    void (*write_row)(csv_row_state* state);
    void (*clear_row)(void* values);
};

// Handed to both libcsv callbacks.
struct csv_row_state {
    std::uint32_t field_index = 0;  // within the current row
    std::uint32_t row_count = 0;    // rows seen, comment rows included
    std::uint8_t comment = 0;       // the current row is a comment row
    bool semicolon = false;         // the current row's first field holds ';'
    std::uint32_t data_rows = 0;    // complete rows after a version line 1
    channel_record* record = nullptr;
    const backup_set_data* set = nullptr;
    // The import's own state, cleared at the start of every import.
    const csv_import_format* format = nullptr;
    void* values = nullptr;
    int version = 0;
    int result = IMPORTCSV_DONE;  // a write_row may set another result
    bool stop = false;            // a write_row ends the import (result kept)
};

// Opens and reads one CSV file through libcsv (csv_init 0, CSV_APPEND_NULL,
// chunks of at most 1024 bytes, csv_fini, csv_free) and prints
// "%lu fields, %lu rows\n" at the end (not when the import stopped early).
// Returns one of the IMPORTCSV_* codes.
int csv_import_run(const csv_import_format* format, void* values, const backup_set_data* set, const char* path,
                   channel_record* record);

// The firmware version text of the set, or null.
const char* csv_firmware_version(const csv_row_state* state);

// ---- value forms ----------------------------------------------------------------

// atoi: leading blanks, optional sign, digits; anything else 0. Out-of-range
// numbers keep their low 32 bits.
std::int32_t csv_int(const char* text);
// A JSON number truncated toward zero, as its low 32 bits.
std::uint32_t csv_truncate(double value);
std::uint32_t csv_json_int(const char* text);

// A pull cursor over the values of a json-list field.
struct csv_json_list {
    json_reader reader;
    bool inside = false;  // the first "[" was seen
    bool ended = false;
};
void csv_json_list_open(csv_json_list* list, const char* text);
// The next value of the list: true with *value set, false at its end. JSON
// null gives 255 when null_is_255, else it is passed over like true and false.
bool csv_json_list_next(csv_json_list* list, bool null_is_255, std::uint32_t* value);
void csv_json_list_close(csv_json_list* list);
// Up to `capacity` values into `values` (the rest of the list is not
// looked at); returns how many were stored.
std::size_t csv_json_list_read(const char* text, bool null_is_255, std::uint32_t* values, std::size_t capacity);

// Keeps the first CSV_TEXT_MAX characters of a text field (up to its first
// NUL) in `out`, NUL-terminated.
void csv_keep_text(char (&out)[CSV_TEXT_MAX + 1], const char* text);
// Writes a kept text into a name field of `size` bytes: at most size - 1
// characters, the rest NUL.
void csv_put_name(unsigned char* field, std::size_t size, const char* text);
