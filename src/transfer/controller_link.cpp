#include "transfer/controller_link.h"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A host name: letters, digits, '-', '.' and '_', and the bytes of
// non-ASCII (international) names, not starting with '-' (no name does, and
// an option such as "--backupfileout" taken as the address's value must not
// pass). Anything else would end the host part of a URL, make it name
// something else, or be refused by libcurl.
bool host_name(const std::string& name) {
    if (name.empty() || name.front() == '-') return false;
    for (char c : name) {
        if (!alnum(c) && c != '-' && c != '.' && c != '_' && static_cast<unsigned char>(c) < 0x80) return false;
    }
    return true;
}

// An IPv4 address in dotted form, as the tail of an IPv6 address.
bool dotted_quad(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t end = text.find('.', i);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(i, end - i);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
        }
        if (std::stoi(part) > 255) return false;
        ++parts;
        i = end + 1;
    }
    return parts == 4;
}

// An IPv6 address: up to eight groups of one to four hexadecimal digits,
// at most one "::" for a run of zero groups, the last two groups possibly
// written as an IPv4 address, and an optional zone after '%'.
bool ipv6_address(const std::string& text) {
    std::string address = text;
    if (const std::size_t zone = text.find('%'); zone != std::string::npos) {
        std::string name = text.substr(zone + 1);
        if (name.rfind("25", 0) == 0) name = name.substr(2);  // "%25" is the zone's escaped '%'
        // An interface name: at most 15 characters, as libcurl takes it.
        if (name.empty() || name.size() > 15) return false;
        for (char c : name) {
            if (!alnum(c) && c != '.' && c != '_' && c != '-' && c != '~') return false;
        }
        address = text.substr(0, zone);
    }
    const std::size_t gap = address.find("::");
    if (gap != std::string::npos && address.find("::", gap + 1) != std::string::npos) return false;
    int groups = 0;
    auto count = [&groups](const std::string& part, bool last) {
        if (part.empty()) return true;
        std::size_t i = 0;
        while (i <= part.size()) {
            std::size_t end = part.find(':', i);
            if (end == std::string::npos) end = part.size();
            const std::string group = part.substr(i, end - i);
            if (last && end == part.size() && group.find('.') != std::string::npos) {
                if (!dotted_quad(group)) return false;
                groups += 2;
            } else {
                if (group.empty() || group.size() > 4) return false;
                for (char c : group) {
                    if (!hex_digit(c)) return false;
                }
                ++groups;
            }
            i = end + 1;
        }
        return true;
    };
    if (gap == std::string::npos) return count(address, true) && groups == 8;
    return count(address.substr(0, gap), false) && count(address.substr(gap + 2), true) && groups < 8;
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
        const std::size_t close = address.find(']');
        if (close == std::string::npos) return false;
        name = address.substr(1, close - 1);
        if (!ipv6_address(name)) return false;
        rest = address.substr(close + 1);
    } else {
        const std::size_t colon = address.find(':');
        name = address.substr(0, colon);
        if (colon != std::string::npos) rest = address.substr(colon);
        if (!host_name(name)) return false;
    }
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
