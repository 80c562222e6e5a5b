// The backup archive's own records: the tool record "tool.txt" that names
// the tool and version that wrote an archive, the version gate that reads
// it back before a restore, and the archive's file name.
//
// Archive members, in order: "tool.txt", the controller's "flashfs.bin",
// one "<set>.tar" per configuration set that the controller has (the tar
// exactly as it served it), and "log.txt" (the run's log lines, each ended
// by LF).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "backup/backup_source.h"

// The tool record, made from the tool's name and version.
extern const char TOOL_RECORD[];
extern const std::size_t TOOL_RECORD_SIZE;

// The version gate over the text of a backup's "tool.txt": true when the
// archive was written by this tool at this version or an older one.
bool tool_record_accepted(const char* text);
// The gate over a backup archive or folder: one without "tool.txt" (found
// in an archive whatever the case of its letters) or with one of an unusable
// size passes; one whose tool record cannot be read does not.
bool backup_version_accepted(backup_source* source);
// The decimal value after "\"key\":" in the text, passing over anything up
// to the first digit or '-' (quotes included); false when there is none.
bool integer_lookup(const char* key, const char* text, int* value);

// "backup_<address>_TARNEL_<YYYYMMDD>_<HHMMSS>.zip", with each of
// <>:"/\|?* in the address replaced by '_'; a missing time gives the date
// 1900-01-00 and the time 00:00:00.
std::string backup_archive_name(const char* address, const std::tm* local);
