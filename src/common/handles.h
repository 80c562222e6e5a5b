// Owners for the C handles the tool uses: each deleter is stateless, so the
// unique_ptr stays the size of a pointer.
#pragma once

#include <cstdio>
#include <memory>

#include <curl/curl.h>
#include <zip.h>

struct curl_easy_deleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using curl_easy_ptr = std::unique_ptr<CURL, curl_easy_deleter>;

struct curl_slist_deleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using curl_slist_ptr = std::unique_ptr<curl_slist, curl_slist_deleter>;

struct file_deleter {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_deleter>;

// Discards an archive without writing it; a written archive is committed with
// an explicit, checked zip_close() that releases the pointer first.
struct zip_discard_deleter {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
using zip_ptr = std::unique_ptr<zip_t, zip_discard_deleter>;

struct zip_file_deleter {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using zip_file_ptr = std::unique_ptr<zip_file_t, zip_file_deleter>;

struct zip_source_deleter {
    void operator()(zip_source_t* source) const noexcept { zip_source_free(source); }
};
using zip_source_ptr = std::unique_ptr<zip_source_t, zip_source_deleter>;
