// The controller's endpoints and the exchanges the tool makes with it.
//
// Every exchange is one libcurl easy transfer with its own handle, made
// start to finish before the next one begins, and goes through one of the
// four calls of the exchange layer below (http_fetch, http_trigger,
// tftp_read, tftp_write). Each sets the libcurl options of its endpoint and
// the run's transfer settings, reports a failed perform once
// ("curl_easy_perform() failed: ..." on standard error) and returns what
// happened. HTTP requests carry no headers or credentials.
//
//   exchange                URL                                               call
//   configuration set fetch "http://ADDR/api/v100/backup.ssi?config=NAME"      http_fetch
//   status read             "ADDR/api/v100/status.ssi"                         http_fetch
//   restore trigger         "ADDR/api/v100/status.ssi?action=restoreconfig"    http_trigger
//   firmware apply          "ADDR/api/v100/status.ssi?action=firmwareupgrade&hash=H&size=N"
//                                                                              http_trigger
//   file read               "tftp://ADDR/flashfs.bin" or ".../flashraw.bin"    tftp_read
//   upload                  "tftp://ADDR/flashraw.bin"                         tftp_write
//
// Every URL is built here, by endpoint_url. The URLs without a scheme travel
// as HTTP (libcurl's default). TFTP asks for blocks of the run's block size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/firmware_record.h"
#include "transfer/controller_link.h"

enum class endpoint { set_fetch, status, restore_trigger, firmware_apply, file };
// The URL of an endpoint of the linked controller: `a` is the set name
// (set_fetch) or the remote file name (file); the firmware apply request
// takes the image digest in hexadecimal (`a`) and its size in bytes (`b`).
std::string endpoint_url(const controller_link& link, endpoint which, const std::string& a = {},
                         const std::string& b = {});

// Time limits. Every HTTP exchange gives up when no connection is made in
// 30 s, or when fewer than 1 byte per second arrives over 60 s; a request
// that makes the controller work (the restore trigger, the firmware apply
// request) allows 600 s for its answer instead.
constexpr long HTTP_CONNECT_TIMEOUT = 30;
constexpr long HTTP_STALL_TIMEOUT = 60;
constexpr long HTTP_WORK_TIMEOUT = 600;
// A TFTP read or upload has no limit on its whole time: it gives up when
// the controller has not answered its request in 30 s (a read) or 60 s (an
// upload), or when no block has moved for 60 s (transfer.cpp explains why).
constexpr long TFTP_READ_CONNECT_TIMEOUT = 30;
constexpr long TFTP_WRITE_CONNECT_TIMEOUT = 60;
constexpr long TFTP_STALL_TIMEOUT = 60;

// The most one reply may hold; a longer reply is cut off there and fails.
constexpr std::uint64_t STATUS_REPLY_LIMIT = 1u << 20;
constexpr std::uint64_t SET_REPLY_LIMIT = 64u << 20;
constexpr std::uint64_t TFTP_READ_LIMIT = 64u << 20;

// What one exchange did: libcurl's result code (0 for a completed
// transfer), the HTTP status of the last reply (0 for TFTP or when none
// arrived), the bytes received or sent, whether a time limit ended it, and
// whether a reply was cut off at its limit or a TFTP read ended short of
// the size its server announced.
struct transfer_result {
    int code = 0;
    bool timed_out = false;
    long http_status = 0;
    std::uint64_t bytes = 0;
    bool over_limit = false;
    bool short_read = false;
};

// HTTP GET of a reply of at most `limit` bytes into memory; any HTTP status
// completes the exchange. 0 when it completed, 1 when it failed.
int http_fetch(const transfer_settings& settings, const std::string& url, std::uint64_t limit,
               std::vector<unsigned char>* body, transfer_result* result);

// HTTP GET that asks the controller to act; its reply is dropped or shown
// on standard output as the controller sent it. libcurl's own progress meter
// runs on standard error where that is a terminal. An HTTP status of 400 or
// above is the controller's refusal: it fails the exchange.
enum class reply_sink { discard, standard_output };
int http_trigger(const transfer_settings& settings, const std::string& url, reply_sink sink, transfer_result* result);

// Growing sink of a TFTP read; the expected size drives the progress bar
// while the server announces no size. `announced` is the size the server
// announced (0: none).
struct tftp_buffer {
    std::vector<unsigned char> data;
    std::uint64_t expected_size = 0;
    std::uint64_t announced = 0;
    std::uint64_t limit = TFTP_READ_LIMIT;
    bool over_limit = false;
};
// A read fails also when the server announced a size and the bytes that
// arrived are another count.
int tftp_read(const transfer_settings& settings, const std::string& url, tftp_buffer* sink, transfer_result* result);

// Uploads the record's bytes, advancing its cursor; with `progress` the
// progress bar follows the upload. Fails also when libcurl ends before the
// source is used up.
int tftp_write(const transfer_settings& settings, const std::string& url, firmware_record* record, bool progress,
               transfer_result* result);

// The text of a libcurl result code.
const char* transfer_error_text(int code);

// Fetches one configuration set into `body`: 0 when the exchange completed
// (whatever the reply holds), BACKUP_FETCH_TRANSFER_FAILED otherwise.
// `http_status`, when given, gets the status of the reply (0: none).
constexpr int BACKUP_FETCH_TRANSFER_FAILED = 4;
int backup_fetch(const controller_link& link, const char* set_name, std::vector<unsigned char>* body,
                 long* http_status = nullptr);
// Asks the controller to restore the configuration it has just received.
int backup_put(const controller_link& link);
// Uploads one configuration tar and triggers the restore.
int backup_push(const controller_link& link, const unsigned char* bytes, std::size_t count);
// The signature of backup_push, for callers that take the upload as a
// parameter.
using set_push_fn = int (*)(const controller_link& link, const unsigned char* bytes, std::size_t count);
// Reads one controller file by TFTP. Whatever arrived is handed out, also
// after a failed read.
int action_read_file_memory(const controller_link& link, const char* remote_name, std::uint64_t expected_size,
                            std::vector<unsigned char>* out);
// Uploads the record's bytes as "flashraw.bin"; `size` is the same after the
// call as before.
int firmware_push_tftp(const controller_link& link, firmware_record* record, bool progress);
