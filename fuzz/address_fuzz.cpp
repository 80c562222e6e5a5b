// The controller address of --ip: every address the parser takes must be
// one that libcurl reads as the same host and port in "http://ADDRESS/",
// so that a value that would fail (or reach another place) inside libcurl
// is a usage error instead.
#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstring>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "transfer/controller_link.h"

namespace {

struct url_deleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

struct text_deleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string address(reinterpret_cast<const char*>(data), size);
    if (address.find('\0') != std::string::npos) return 0;  // a command-line argument holds no NUL
    std::string host;
    unsigned port = 0;
    if (!controller_address_parse(address, &host, &port)) return 0;
    if (host.empty() || port < 1 || port > 65535) std::abort();
    std::unique_ptr<CURLU, url_deleter> url(curl_url());
    if (curl_url_set(url.get(), CURLUPART_URL, ("http://" + address + "/").c_str(), 0) != CURLUE_OK) std::abort();
    char* parsed_host = nullptr;
    char* parsed_port = nullptr;
    curl_url_get(url.get(), CURLUPART_HOST, &parsed_host, 0);
    curl_url_get(url.get(), CURLUPART_PORT, &parsed_port, CURLU_DEFAULT_PORT);
    std::unique_ptr<char, text_deleter> own_host(parsed_host), own_port(parsed_port);
    if (!parsed_host || !parsed_port || std::string(parsed_port) != std::to_string(port)) std::abort();
    if (address.front() == '[') {
        // The same IPv6 address (libcurl writes it in its shortest form,
        // without the zone).
        const std::string ours = host.substr(0, host.find('%'));
        const std::string theirs(parsed_host + 1, std::strlen(parsed_host) - 2);
        in6_addr a{}, b{};
        if (inet_pton(AF_INET6, ours.c_str(), &a) != 1 || inet_pton(AF_INET6, theirs.c_str(), &b) != 1 ||
            std::memcmp(&a, &b, sizeof a) != 0)
            std::abort();
        return 0;
    }
    const std::string& expected_host = host;
    // libcurl keeps the host as written but may lower its letters.
    std::string got(parsed_host), want(expected_host);
    for (auto* s : {&got, &want}) {
        for (char& c : *s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    // A number in any of IPv4's short forms ("15", "0x1f", "10.1") becomes
    // its dotted form.
    const bool numeric = host.find_first_not_of("0123456789abcdefxABCDEFX.") == std::string::npos;
    if (got != want && !numeric) std::abort();
    return 0;
}
