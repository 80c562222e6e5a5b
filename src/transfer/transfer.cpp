#include "transfer/transfer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/handles.h"
#include "main/cli.h"
#include "window/window.h"

namespace {

std::string format_url(const char* format, const char* a, const char* b = nullptr) {
    int n = std::snprintf(nullptr, 0, format, a, b);
    if (n < 0) return {};
    std::string url(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(url.data(), url.size(), format, a, b);
    url.resize(static_cast<std::size_t>(n));
    return url;
}

std::size_t discard_body(char*, std::size_t size, std::size_t nmemb, void*) { return size * nmemb; }

// The upload source: copies from the record's cursor, advancing it.
std::size_t upload_read(char* buffer, std::size_t size, std::size_t nitems, void* userdata) {
    auto* record = static_cast<firmware_record*>(userdata);
    std::size_t wanted = size * nitems;
    if (!record || wanted == 0 || record->size == 0 || !record->data) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, record->size));
    std::memcpy(buffer, record->data, n);
    record->data += n;
    record->size -= n;
    return n;
}

int upload_progress(void*, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    if (ultotal < 1 || ulnow > ultotal) return 0;
    progress_set(static_cast<int>(ulnow * 100 / ultotal));
    return 0;
}

}  // namespace

void report_perform_failure(CURLcode code) { error_printf("curl_easy_perform() failed: %s\n", curl_easy_strerror(code)); }

long curl_verbose() { return verbose_flag ? 1L : 0L; }

long no_progress_meter() { return isatty(STDERR_FILENO) ? 0L : 1L; }

bool base_url_for(const char* address, std::string* out) {
    if (!address || !out) return false;
    *out = format_url("http://%s", address);
    return true;
}

std::size_t http_buffer_write(char* bytes, std::size_t /*size*/, std::size_t nmemb, void* buffer) {
    auto* sink = static_cast<std::vector<unsigned char>*>(buffer);
    if (!sink) return 0;
    try {
        sink->insert(sink->end(), bytes, bytes + nmemb);
    } catch (const std::bad_alloc&) {
        std::vector<unsigned char>().swap(*sink);
        return 0;
    }
    return nmemb;
}

std::size_t tftp_buffer_write(char* bytes, std::size_t size, std::size_t nmemb, void* buffer) {
    auto* sink = static_cast<tftp_buffer*>(buffer);
    if (!sink || !bytes) return 0;
    std::size_t n = size * nmemb;
    try {
        sink->data.insert(sink->data.end(), bytes, bytes + n);
    } catch (const std::bad_alloc&) {
        std::vector<unsigned char>().swap(sink->data);
        return 0;
    }
    return n;
}

int tftp_read_progress(void* buffer, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* sink = static_cast<tftp_buffer*>(buffer);
    if (!sink) return 0;
    std::int32_t total = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(dltotal != 0 ? static_cast<std::uint64_t>(dltotal) : sink->expected_size));
    if (total < 1 || dlnow < 0 || dlnow > total) return 0;
    progress_set(static_cast<int>(std::min<curl_off_t>(dlnow * 100 / total, 100)));
    return 0;
}

int backup_fetch(const char* base, const char* set_name, backup_set_data* record) {
    if (!set_name || !record || !base) return 1;
    *record = backup_set_data{};
    std::string url = format_url("%s/api/v100/backup.ssi?config=%s", base, set_name);
    console_printf("%s\tfetching URL '%s'.\n", "backup", url.c_str());
    curl_easy_ptr curl(curl_easy_init());
    if (!curl) return BACKUP_FETCH_TRANSFER_FAILED;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, http_buffer_write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &record->data);
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, curl_verbose());
    CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        report_perform_failure(code);
        log_printf_color(COLOR_RED, "%s\tcurl_easy_perform() failed: %s", "backup", curl_easy_strerror(code));
        return BACKUP_FETCH_TRANSFER_FAILED;
    }
    console_printf("%s\treceived %llu bytes.\n", "backup", static_cast<unsigned long long>(record->data.size()));
    return backup_check(record);
}

int backup_put(const char* address) {
    if (!address) return 1;
    std::string url = format_url("%s/api/v100/status.ssi?action=restoreconfig", address);
    console_printf("%s\tpushing URL '%s'.\n", "backup_put", url.c_str());
    curl_easy_ptr curl(curl_easy_init());
    if (!curl) return 1;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, curl_verbose());
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, no_progress_meter());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard_body);
    progress_hide();
    CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        report_perform_failure(code);
        return 1;
    }
    return 0;
}

int backup_push(const char* base, const char* address, const unsigned char* bytes, std::size_t count) {
    if (!bytes || count == 0 || !base) return 1;
    firmware_record record;
    record.data = bytes;
    record.size = count;
    if (firmware_push_tftp(address, &record, false) != 0) return 1;
    console_printf("%s\tbackup file pushed.\n", "backup");
    if (backup_put(address) != 0) return 1;
    console_printf("%s\tbackup file restore started.\n", "backup");
    log_printf_color(COLOR_GREEN, "File restored.");
    return 0;
}

int firmware_push_tftp(const char* address, firmware_record* record, bool progress) {
    if (!address || !record || !record->data || record->size == 0) return 1;
    std::string url = format_url("tftp://%s/flashraw.bin", address);
    console_printf("%s\tpushing URL '%s'.\n", "firmware_push_tftp", url.c_str());
    log_printf("Transferring... PLEASE WAIT...");
    curl_easy_ptr curl(curl_easy_init());
    if (!curl) return 1;
    const std::uint64_t noted_size = record->size;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, curl_verbose());
    if (progress) {
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, upload_progress);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, record);
    } else {
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, no_progress_meter());
        progress_hide();
    }
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 1800L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_TFTP_BLKSIZE, 128L);
    curl_easy_setopt(curl.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, upload_read);
    curl_easy_setopt(curl.get(), CURLOPT_READDATA, record);
    curl_easy_setopt(curl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(record->size));
    CURLcode code = curl_easy_perform(curl.get());
    int result = 0;
    if (code != CURLE_OK) {
        report_perform_failure(code);
        log_printf_color(COLOR_RED, "Firmware push failed, %s.", curl_easy_strerror(code));
        result = 1;
    } else if (record->size != 0) {
        // libcurl ended the transfer before the source was used up.
        log_printf_color(COLOR_RED, "Firmware push failed, %s.", "upload ended early");
        result = 1;
    }
    curl.reset();
    record->size = noted_size;
    return result;
}

int action_read_file_memory(const char* address, const char* remote_name, std::uint64_t expected_size,
                            std::vector<unsigned char>* out) {
    progress_set(0);
    if (!remote_name || !out || !address) {
        log_printf_color(COLOR_RED, "[ERROR] Invalid arguments to action_read_file_memory\n");
        return 1;
    }
    tftp_buffer buffer;
    buffer.expected_size = expected_size;
    std::string url = format_url("tftp://%s/%s", address, remote_name);
    console_printf("[INFO] TFTP URL: %s", url.c_str());
    curl_easy_ptr curl(curl_easy_init());
    if (!curl) {
        log_printf_color(COLOR_RED, "[ERROR] curl_easy_init failed\n");
        return 1;
    }
    console_printf("[INFO] curl_easy_init succeeded");
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, tftp_buffer_write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &buffer);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_TFTP_BLKSIZE, 128L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, tftp_read_progress);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &buffer);
    log_printf_color(COLOR_GREEN, "Downloading %s...", remote_name);
    CURLcode code = curl_easy_perform(curl.get());
    int result = 0;
    if (code != CURLE_OK) {
        log_printf_color(COLOR_RED, "[ERROR] curl_easy_perform() failed: %s", curl_easy_strerror(code));
        result = 1;
    } else {
        log_printf_color(COLOR_GREEN, "Download of %s completed (%lu bytes).", remote_name,
                         static_cast<unsigned long>(static_cast<std::uint32_t>(buffer.data.size())));
        if (expected_size == 0) progress_set(100);
    }
    *out = std::move(buffer.data);
    return result;
}
