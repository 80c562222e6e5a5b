// The check of one fetched configuration set: the controller answers a set
// fetch with a tar holding the set's file under its device path and
// "status.txt", a JSON object naming the controller. The check lists the
// tar on the console, reads the four status values and tells whether the
// set exists on the controller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/controller_link.h"

struct backup_set_data {
    std::vector<unsigned char> data;  // the tar as received
    long http_status = 0;             // the status of the reply (0: none arrived)
    std::optional<std::string> model_name;
    std::optional<std::string> firmware_version;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
};

// 0: a set tar with its status; 1: no data; 2: "status.txt" missing from a
// tar of two or more members; 3: the tar lists at most one member (the
// controller has no such set); otherwise the last tar code of the listing.
int backup_check(backup_set_data* set);

// Lists a set tar on the console ("backup file contains:" and one line per
// member); 0 when the listing reached the end record after at least one
// member, 1 for an empty tar, else the tar code that stopped it. `count`
// gets the members listed.
int backup_list_tar(const std::vector<unsigned char>& tar, int* count);

// Fetches one configuration set and checks it: the check's result, or
// BACKUP_FETCH_TRANSFER_FAILED (4) when the exchange itself failed. The
// record keeps whatever arrived and the HTTP status of the reply.
int backup_fetch_set(const controller_link& link, const char* set_name, backup_set_data* set);

// What a fetched set means for a backup.
//
// absent: the controller has no such set, which is normal: it answered 404,
// or its reply holds no tar member at all (an HTML page, an empty tar), or
// its tar holds "status.txt" alone.
// present: a whole tar (read to its end record) with "status.txt" and the
// set's file under its device path (for a name outside the set table: with
// at least one member besides "status.txt").
// damaged: anything else: the exchange failed or was cut off, another HTTP
// status than 2xx, a tar that cannot be read to its end (a bad header
// checksum counts as a member: a record with octal size and checksum fields
// is a tar header), a tar without "status.txt" or without the set's file.
enum class backup_set_state { present, absent, damaged };
backup_set_state backup_set_classify(const char* set_name, int fetch_result, const backup_set_data& set);
