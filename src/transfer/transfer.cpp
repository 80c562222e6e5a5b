#include "transfer/transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include <curl/curl.h>

#include "common/handles.h"
#include "window/window.h"

namespace {

// The endpoint catalogue: each URL's printf format, and whether it starts
// with the base URL ("http://ADDRESS") or with the bare address.
struct endpoint_row {
    endpoint which;
    const char* format;
    bool from_base;
};

// clang-format off
const endpoint_row ENDPOINTS[] = {
    {endpoint::set_fetch,       "%s/api/v100/backup.ssi?config=%s",                              true},
    {endpoint::status,          "%s/api/v100/status.ssi",                                        false},
    {endpoint::restore_trigger, "%s/api/v100/status.ssi?action=restoreconfig",                   false},
    {endpoint::firmware_apply,  "%s/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%s", false},
    {endpoint::file,            "tftp://%s/%s",                                                  false},
};
// clang-format on

// libcurl's own progress meter goes to standard error, and only where that
// is a terminal: scripts' error streams stay clean.
long no_progress_meter() { return stderr_is_terminal() ? 0L : 1L; }

std::size_t discard_body(char*, std::size_t size, std::size_t nmemb, void*) { return size * nmemb; }

// The controller's answer on standard output as it came; `open_line` tells
// whether its last line still lacks its end, so that the tool's next line
// does not start behind it.
struct shown_reply {
    bool open_line = false;
};

std::size_t show_reply(char* bytes, std::size_t size, std::size_t nmemb, void* userdata) {
    std::size_t n = size * nmemb;
    if (n == 0) return 0;
    static_cast<shown_reply*>(userdata)->open_line = bytes[n - 1] != '\n';
    console_write(bytes, n);
    return n;
}

// A growing sink with a limit: a reply that would pass the limit, or that
// memory cannot hold, makes libcurl fail the transfer.
struct memory_sink {
    std::vector<unsigned char>* data;
    std::uint64_t limit;
    bool over_limit = false;
};

std::size_t append_limited(std::vector<unsigned char>* data, std::uint64_t limit, bool* over_limit, const char* bytes,
                           std::size_t n) {
    if (data->size() + std::uint64_t{n} > limit) {
        *over_limit = true;
        return 0;
    }
    try {
        data->insert(data->end(), bytes, bytes + n);
    } catch (const std::bad_alloc&) {
        std::vector<unsigned char>().swap(*data);
        return 0;
    }
    return n;
}

std::size_t memory_write(char* bytes, std::size_t size, std::size_t nmemb, void* userdata) {
    auto* sink = static_cast<memory_sink*>(userdata);
    return append_limited(sink->data, sink->limit, &sink->over_limit, bytes, size * nmemb);
}

std::size_t tftp_write_sink(char* bytes, std::size_t size, std::size_t nmemb, void* userdata) {
    auto* sink = static_cast<tftp_buffer*>(userdata);
    return append_limited(&sink->data, sink->limit, &sink->over_limit, bytes, size * nmemb);
}

// The read's progress follows the size the server announced, or the size
// the caller expects while it announced none.
int tftp_read_progress(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* sink = static_cast<tftp_buffer*>(userdata);
    if (dltotal > 0) sink->announced = static_cast<std::uint64_t>(dltotal);
    std::int32_t total = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(dltotal != 0 ? static_cast<std::uint64_t>(dltotal) : sink->expected_size));
    if (total < 1 || dlnow < 0 || dlnow > total) return 0;
    progress_set(static_cast<int>(std::min<curl_off_t>(dlnow * 100 / total, 100)));
    return 0;
}

// The upload source: copies from the record's cursor, advancing it, or
// reads on in its spooled image.
std::size_t upload_read(char* buffer, std::size_t size, std::size_t nitems, void* userdata) {
    auto* record = static_cast<firmware_record*>(userdata);
    std::size_t wanted = size * nitems;
    if (wanted == 0 || record->size == 0) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, record->size));
    if (record->data) {
        std::memcpy(buffer, record->data, n);
        record->data += n;
    } else if (!record->spool_reader || std::fread(buffer, 1, n, record->spool_reader.get()) != n) {
        return CURL_READFUNC_ABORT;
    }
    record->size -= n;
    return n;
}

int upload_progress(void*, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    if (ultotal < 1 || ulnow > ultotal) return 0;
    progress_set(static_cast<int>(ulnow * 100 / ultotal));
    return 0;
}

// A new easy handle for one exchange with the settings every exchange
// shares: only the exchange's own protocol ("http" or "tftp"), so an address
// with a scheme of its own reaches nothing else, and redirects (at most 5)
// only to HTTP.
curl_easy_ptr new_exchange(const std::string& url, const char* protocol, bool trace) {
    curl_easy_ptr curl(curl_easy_init());
    if (!curl) return curl;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, trace ? 1L : 0L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, protocol);
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    return curl;
}

// The HTTP time limits; `answer_time` is how long the reply may take to
// move at all.
void set_http_limits(CURL* curl, long answer_time) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, HTTP_CONNECT_TIMEOUT);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, answer_time);
}

// The TFTP time limits and block size, the same for reads and uploads.
//
// libcurl takes its TFTP re-send interval and retry count from the time
// left of CURLOPT_TIMEOUT when the first packet arrives: T seconds give
// T/5 retries (3 to 50) spread over T, so that a total of 300 s re-sends
// every 6 s and fails at 300 s however well the blocks move, while any
// larger total makes every lost packet cost T/50 s. No total fits a long
// transfer and a short re-send at once, so there is none: a transfer takes
// as long as its blocks keep moving, and it ends when none moves for 60 s
// (below 1 byte/s for 60 s; libcurl measures the rate over its last 5 s,
// so the end comes 60 to 65 s after the last block). That is what ends a
// transfer with a stalled or vanished controller, also one that keeps
// re-sending the same block. Without a total, libcurl 7.88 re-sends only
// after 72 s (3600 s over 50 retries; never reached before the 60 s), and
// libcurl 8 after 5 s, giving up after 4 silent intervals (about 20 s). A
// lost packet is recovered by the controller: the request carries the TFTP
// timeout option of 5 s (libcurl derives it from the connect limit), after
// which, in a read, the controller sends the unacknowledged block again and,
// in an upload, its last ACK, which makes libcurl send the lost block again.
// The connect limit bounds the wait for the controller's first answer.
void set_tftp_limits(CURL* curl, long connect_timeout, long block_size) {
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 0L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, TFTP_STALL_TIMEOUT);
    curl_easy_setopt(curl, CURLOPT_TFTP_BLKSIZE, block_size);
}

// Performs the exchange and reports a failed perform, once, on standard
// error.
int perform(CURL* curl, transfer_result* result) {
    transfer_result local;
    transfer_result& r = result ? *result : local;
    r = transfer_result{};
    if (!curl) {
        r.code = CURLE_FAILED_INIT;
        error_printf("curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_FAILED_INIT));
        return 1;
    }
    CURLcode code = curl_easy_perform(curl);
    r.code = code;
    r.timed_out = code == CURLE_OPERATION_TIMEDOUT;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.http_status);
    curl_off_t down = 0, up = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &up);
    r.bytes = static_cast<std::uint64_t>(std::max(down, up));
    if (code != CURLE_OK) {
        error_printf("curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
        return 1;
    }
    return 0;
}

void report_over_limit(std::uint64_t limit) {
    log_printf_color(COLOR_RED, "The reply is larger than %llu bytes; it was cut off.",
                     static_cast<unsigned long long>(limit));
}

}  // namespace

std::string endpoint_url(const controller_link& link, endpoint which, const std::string& a, const std::string& b) {
    for (const endpoint_row& row : ENDPOINTS) {
        if (row.which != which) continue;
        const char* start = row.from_base ? link.base_url.c_str() : link.address.c_str();
        int n = std::snprintf(nullptr, 0, row.format, start, a.c_str(), b.c_str());
        if (n < 0) return {};
        std::string url(static_cast<std::size_t>(n) + 1, '\0');
        std::snprintf(url.data(), url.size(), row.format, start, a.c_str(), b.c_str());
        url.resize(static_cast<std::size_t>(n));
        return url;
    }
    return {};
}

const char* transfer_error_text(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

int http_fetch(const transfer_settings& settings, const std::string& url, std::uint64_t limit,
               std::vector<unsigned char>* body, transfer_result* result) {
    transfer_result local;
    transfer_result& r = result ? *result : local;
    memory_sink sink{body, limit};
    curl_easy_ptr curl = new_exchange(url, "http", settings.verbose);
    if (curl) {
        set_http_limits(curl.get(), HTTP_STALL_TIMEOUT);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, memory_write);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    }
    int failed = perform(curl.get(), &r);
    r.over_limit = sink.over_limit;
    if (sink.over_limit) report_over_limit(limit);
    return failed;
}

int http_trigger(const transfer_settings& settings, const std::string& url, reply_sink sink, transfer_result* result) {
    transfer_result local;
    transfer_result& r = result ? *result : local;
    shown_reply shown;
    curl_easy_ptr curl = new_exchange(url, "http", settings.verbose);
    if (curl) {
        set_http_limits(curl.get(), HTTP_WORK_TIMEOUT);
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, no_progress_meter());
        if (sink == reply_sink::discard) {
            curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard_body);
        } else {
            curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, show_reply);
            curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &shown);
        }
    }
    std::fflush(stdout);  // the controller's answer follows our own lines
    progress_hide();
    int failed = perform(curl.get(), &r);
    if (shown.open_line) console_write("\n", 1);
    if (!failed && r.http_status >= 400) {
        log_printf_color(COLOR_RED, "The controller refused the request (HTTP %ld).", r.http_status);
        return 1;
    }
    return failed;
}

int tftp_read(const transfer_settings& settings, const std::string& url, tftp_buffer* sink, transfer_result* result) {
    transfer_result local;
    transfer_result& r = result ? *result : local;
    curl_easy_ptr curl = new_exchange(url, "tftp", false);
    if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, tftp_write_sink);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, sink);
        set_tftp_limits(curl.get(), TFTP_READ_CONNECT_TIMEOUT, settings.tftp_block_size);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, tftp_read_progress);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, sink);
    }
    int failed = perform(curl.get(), &r);
    r.over_limit = sink->over_limit;
    if (sink->over_limit) report_over_limit(sink->limit);
    if (!failed && sink->announced != 0 && sink->data.size() != sink->announced) {
        log_printf_color(COLOR_RED, "The controller announced %llu bytes but sent %llu.",
                         static_cast<unsigned long long>(sink->announced),
                         static_cast<unsigned long long>(sink->data.size()));
        r.short_read = true;
        return 1;
    }
    return failed;
}

int tftp_write(const transfer_settings& settings, const std::string& url, firmware_record* record, bool progress,
               transfer_result* result) {
    curl_easy_ptr curl = new_exchange(url, "tftp", settings.verbose);
    if (curl) {
        if (progress) {
            curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, upload_progress);
            curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, record);
        } else {
            curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, no_progress_meter());
            progress_hide();
        }
        set_tftp_limits(curl.get(), TFTP_WRITE_CONNECT_TIMEOUT, settings.tftp_block_size);
        curl_easy_setopt(curl.get(), CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, upload_read);
        curl_easy_setopt(curl.get(), CURLOPT_READDATA, record);
        curl_easy_setopt(curl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(record->size));
    }
    if (perform(curl.get(), result) != 0) return 1;
    // A completed transfer that left bytes unsent ended early.
    return record->size != 0 ? 1 : 0;
}

int backup_fetch(const controller_link& link, const char* set_name, std::vector<unsigned char>* body,
                 long* http_status) {
    body->clear();
    std::string url = endpoint_url(link, endpoint::set_fetch, set_name);
    console_printf("%s\tfetching URL '%s'.\n", "backup", url.c_str());
    transfer_result result;
    const int failed = http_fetch(link.settings, url, SET_REPLY_LIMIT, body, &result);
    if (http_status) *http_status = result.http_status;
    if (failed) {
        log_printf_color(COLOR_RED, "%s\tcurl_easy_perform() failed: %s", "backup", transfer_error_text(result.code));
        return BACKUP_FETCH_TRANSFER_FAILED;
    }
    console_printf("%s\treceived %llu bytes.\n", "backup", static_cast<unsigned long long>(body->size()));
    return 0;
}

int backup_put(const controller_link& link) {
    std::string url = endpoint_url(link, endpoint::restore_trigger);
    console_printf("%s\tpushing URL '%s'.\n", "backup_put", url.c_str());
    return http_trigger(link.settings, url, reply_sink::discard, nullptr);
}

int backup_push(const controller_link& link, const unsigned char* bytes, std::size_t count) {
    if (!bytes || count == 0) return 1;
    firmware_record record;
    record.data = bytes;
    record.size = count;
    if (firmware_push_tftp(link, &record, false) != 0) return 1;
    console_printf("%s\tbackup file pushed.\n", "backup");
    if (backup_put(link) != 0) return 1;
    console_printf("%s\tbackup file restore started.\n", "backup");
    log_printf_color(COLOR_GREEN, "File restored.");
    return 0;
}

int firmware_push_tftp(const controller_link& link, firmware_record* record, bool progress) {
    if ((!record->data && !record->spool_reader) || record->size == 0) return 1;
    // A spooled image is sent from its start.
    if (!record->data && std::fseek(record->spool_reader.get(), 0, SEEK_SET) != 0) return 1;
    std::string url = endpoint_url(link, endpoint::file, "flashraw.bin");
    console_printf("%s\tpushing URL '%s'.\n", "firmware_push_tftp", url.c_str());
    log_printf("Transferring... PLEASE WAIT...");
    const std::uint64_t noted_size = record->size;
    transfer_result result;
    int failed = tftp_write(link.settings, url, record, progress, &result);
    if (failed) {
        const char* why = result.code == CURLE_OK ? "upload ended early" : transfer_error_text(result.code);
        log_printf_color(COLOR_RED, "Firmware push failed, %s.", why);
    }
    record->size = noted_size;
    return failed;
}

int action_read_file_memory(const controller_link& link, const char* remote_name, std::uint64_t expected_size,
                            std::vector<unsigned char>* out) {
    progress_set(0);
    tftp_buffer buffer;
    buffer.expected_size = expected_size;
    std::string url = endpoint_url(link, endpoint::file, remote_name);
    console_printf("[INFO] TFTP URL: %s", url.c_str());
    console_printf("[INFO] curl_easy_init succeeded");
    log_printf_color(COLOR_GREEN, "Downloading %s...", remote_name);
    transfer_result result;
    int failed = tftp_read(link.settings, url, &buffer, &result);
    if (failed && result.code != 0) {
        log_printf_color(COLOR_RED, "[ERROR] curl_easy_perform() failed: %s", transfer_error_text(result.code));
    }
    if (!failed) {
        log_printf_color(COLOR_GREEN, "Download of %s completed (%lu bytes).", remote_name,
                         static_cast<unsigned long>(static_cast<std::uint32_t>(buffer.data.size())));
        if (expected_size == 0) progress_set(100);
    }
    *out = std::move(buffer.data);
    return failed;
}
