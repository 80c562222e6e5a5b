#include "transfer/controller_link.h"

namespace {

// Characters that would end the host part of a URL, or make it name
// something else, and characters that have no place in a command-line
// address.
bool unusable(unsigned char c) {
    return c == '/' || c == '?' || c == '#' || c == '@' || c == '[' || c == ']' || c == '\\' || c <= ' ' || c == 0x7f;
}

// A port: one to five decimal digits naming 1 to 65535.
bool parse_port(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = value;
    return true;
}

}  // namespace

bool controller_address_parse(const std::string& address, std::string* host, unsigned* port) {
    std::string name;
    std::string rest;
    if (!address.empty() && address.front() == '[') {
        // An IPv6 address: hexadecimal groups, colons, dots of an embedded
        // IPv4 address and a zone after '%'.
        const std::size_t close = address.find(']');
        if (close == std::string::npos || close == 1) return false;
        name = address.substr(1, close - 1);
        for (unsigned char c : name) {
            if (unusable(c)) return false;
        }
        if (name.find(':') == std::string::npos) return false;
        rest = address.substr(close + 1);
    } else {
        const std::size_t colon = address.find(':');
        name = address.substr(0, colon);
        if (colon != std::string::npos) rest = address.substr(colon);
        for (unsigned char c : name) {
            if (unusable(c)) return false;
        }
    }
    if (name.empty()) return false;
    unsigned value = CONTROLLER_DEFAULT_PORT;
    if (!rest.empty() && (rest.front() != ':' || !parse_port(rest.substr(1), &value))) return false;
    *host = name;
    *port = value;
    return true;
}

bool controller_link_make(const std::string& address, const transfer_settings& settings, controller_link* link) {
    std::string host;
    unsigned port = 0;
    if (!controller_address_parse(address, &host, &port)) return false;
    link->address = address;
    link->base_url = "http://" + address;
    link->host = host;
    link->port = port;
    link->settings = settings;
    return true;
}
