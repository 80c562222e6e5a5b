// The controller's endpoints and the transfers shared by the actions.
//
// Every exchange is one libcurl easy transfer with its own handle, made
// start to finish before the next one begins. HTTP requests carry no
// headers or credentials and any HTTP status counts as a completed exchange;
// only the callers' content checks can reject a reply.
//
//   exchange                URL                                               method
//   configuration set fetch "http://ADDR/api/v100/backup.ssi?config=NAME"      HTTP GET
//   status read             "ADDR/api/v100/status.ssi"                         HTTP GET
//   restore trigger         "ADDR/api/v100/status.ssi?action=restoreconfig"    HTTP GET
//   firmware apply          "ADDR/api/v100/status.ssi?action=firmwareupgrade&hash=H&size=N"
//   file read               "tftp://ADDR/flashfs.bin" or ".../flashraw.bin"    TFTP RRQ, 128-byte blocks
//   upload                  "tftp://ADDR/flashraw.bin"                         TFTP WRQ, 128-byte blocks
//
// The URLs without a scheme travel as HTTP (libcurl's default).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "backup/backup_check.h"
#include "common/firmware_record.h"

// Growing sink of a TFTP read; the expected size drives the progress bar
// while the server announces no size.
struct tftp_buffer {
    std::vector<unsigned char> data;
    std::uint64_t expected_size = 0;
};

// The base URL "http://ADDRESS"; none for a missing address.
bool base_url_for(const char* address, std::string* out);

// libcurl callbacks. The write callbacks take the growing sink of an HTTP
// response, a std::vector<unsigned char>* (http_buffer_write), or a
// tftp_buffer*, and make libcurl fail the transfer when memory runs out.
std::size_t http_buffer_write(char* bytes, std::size_t size, std::size_t nmemb, void* buffer);
std::size_t tftp_buffer_write(char* bytes, std::size_t size, std::size_t nmemb, void* buffer);
int tftp_read_progress(void* buffer, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// Fetches one configuration set and checks it: 0 when the controller has the
// set and its tar is in the record (the record keeps whatever arrived);
// BACKUP_FETCH_TRANSFER_FAILED when the exchange itself failed; otherwise
// the check's result (the controller lacks the set, or the reply is no set).
constexpr int BACKUP_FETCH_TRANSFER_FAILED = 4;
int backup_fetch(const char* base, const char* set_name, backup_set_data* record);
// Asks the controller to restore the configuration it has just received.
int backup_put(const char* address);
// Uploads one configuration tar and triggers the restore.
int backup_push(const char* base, const char* address, const unsigned char* bytes, std::size_t count);
// Reads one controller file by TFTP. Whatever arrived is handed out, also
// after a failed read.
int action_read_file_memory(const char* address, const char* remote_name, std::uint64_t expected_size,
                            std::vector<unsigned char>* out);
// Uploads the record's bytes as "flashraw.bin"; `size` is the same after the
// call as before.
int firmware_push_tftp(const char* address, firmware_record* record, bool progress);

// "curl_easy_perform() failed: ..." on standard error, for every failed perform.
void report_perform_failure(CURLcode code);

// CURLOPT_VERBOSE for the transfers that follow --verbose.
long curl_verbose();
// CURLOPT_NOPROGRESS for the exchanges that show libcurl's own progress
// meter: it goes to standard error, and only where that is a terminal.
long no_progress_meter();
