// The channel, groups and inputs CSV files written from a decoded channel
// file or channel inputs file, in exactly the form the imports read (see
// importcsv.h, importcsv_groups.h, importcsv_cd.h): the version line first,
// then a comment row naming the columns, then one row per entry in use, in
// index order. Names and JSON arrays are quoted (a doubled double quote
// inside); numbers, null and false stand bare. Rows end with LF.
#pragma once

#include <string>

#include "channel/channel_fields.h"

// The version line of a format, with its line end.
const char* csv_export_version_line(entry_kind kind);
// The whole file for the entries of that kind.
std::string csv_export_text(const channel_fields& fields, entry_kind kind);
