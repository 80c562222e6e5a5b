// A backup to read, whatever form it has: a backup archive (the zip of
// get_backup), a backup folder (get_backup's loose files), a single
// configuration set tar, or the controller itself. All are seen alike, as
// named members: the archive's entries (in archive order), the folder's
// files (sorted by name; subfolders listed with a trailing "/"), the one tar
// (named by the set whose device path it holds, "dali1.tar", else by its
// file name), or the controller's sets, fetched one at a time as get_backup
// fetches them. Only one member is held in memory at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mzsimple/mzsimple.h"
#include "transfer/controller_link.h"

// A member larger than this is damaged (or hostile) and is not read into
// memory: a configuration set tar is a few kilobytes, flashfs.bin 2 MiB.
constexpr std::uint64_t BACKUP_MEMBER_LIMIT = 64u * 1024 * 1024;

enum class backup_source_kind { archive, folder, set_tar, controller };

enum : int {
    BACKUP_SOURCE_OK = 0,
    BACKUP_SOURCE_NOT_FOUND = 1,     // open: no such path; read: no such member (a set the controller lacks)
    BACKUP_SOURCE_NOT_A_BACKUP = 2,  // open: neither a zip archive, a folder nor a tar that reads to its end
    BACKUP_SOURCE_TOO_LARGE = 3,     // larger than BACKUP_MEMBER_LIMIT
    BACKUP_SOURCE_UNREADABLE = 4,    // the bytes could not be read (or a zip CRC failed)
    BACKUP_SOURCE_NO_SET_FILE = 5,   // a set tar without a readable file under the set's device path
    BACKUP_SOURCE_DAMAGED = 6,       // the controller has the set, but it did not arrive whole
    BACKUP_SOURCE_FETCH_FAILED = 7,  // the exchange with the controller failed
};

struct restore_config_entry;

struct backup_source {
    backup_source_kind kind = backup_source_kind::archive;
    std::string path;
    std::vector<std::string> members;       // the controller: the sets' tar names in fetch order
    mzsimple_ptr zip;                       // archive
    std::vector<unsigned char> tar;         // set_tar: the whole file
    int tar_code = 0;                       // open of a path that is not a backup: the tar code that refused it
    const controller_link* link = nullptr;  // controller
};

int backup_source_open(const char* path, backup_source* source);
// The controller of `link`, which must outlive the source.
void backup_source_open_controller(const controller_link& link, backup_source* source);
// The whole member, exactly by its listed name (the first of that name).
int backup_source_read(backup_source* source, const std::string& member, std::vector<unsigned char>* out);
// The file of a configuration set: in the member "<set>.tar", the member
// named by the set's device path.
int backup_source_set_file(backup_source* source, const restore_config_entry& entry, std::vector<unsigned char>* out);
bool backup_source_has(const backup_source& source, const std::string& member);
// The member names listed more than once, each once.
std::vector<std::string> backup_source_duplicates(const backup_source& source);
// "not found", "larger than 64 MiB", ...
const char* backup_source_error(int code);
