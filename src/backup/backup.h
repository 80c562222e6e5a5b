// The get_backup action: the controller's configuration copied into one zip
// archive (the backup archive) or into loose files in a folder.
//
// Archive members, in order: "tool.txt" (the tool record below), the
// controller's "flashfs.bin", one "<set>.tar" per configuration set that
// the controller has (the tar exactly as it served it), and "log.txt" (the
// run's log lines, each ended by LF).
#pragma once

#include <ctime>
#include <string>

// The tool record: names the tool and version that wrote a backup, so that a
// restore can refuse archives of newer versions. Exactly 129 bytes.
extern const char TOOL_RECORD[];
constexpr std::size_t TOOL_RECORD_SIZE = 129;

// "backup_<address>_TARNEL_<YYYYMMDD>_<HHMMSS>.zip", with each of
// <>:"/\|?* in the address replaced by '_'; a missing time gives the date
// 1900-01-00 and the time 00:00:00.
std::string backup_archive_name(const char* address, const std::tm* local);
