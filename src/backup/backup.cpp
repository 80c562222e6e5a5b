#include "backup/backup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/version.h"

#define ORNAT_TEXT(x) #x
#define ORNAT_NUMBER_TEXT(x) ORNAT_TEXT(x)

const char TOOL_RECORD[] =
    "{\n"
    "  \"tool_name\": \"" ORNAT_TOOL_NAME "\",\n"
    "  \"version_major\": " ORNAT_NUMBER_TEXT(ORNAT_VERSION_MAJOR) ",\n"
    "  \"version_minor\": " ORNAT_NUMBER_TEXT(ORNAT_VERSION_MINOR) ",\n"
    "  \"version_revision\": " ORNAT_NUMBER_TEXT(ORNAT_VERSION_REVISION) ",\n"
    "  \"version_string\": \"" ORNAT_VERSION_STRING "\"\n"
    "}\n";
const std::size_t TOOL_RECORD_SIZE = sizeof TOOL_RECORD - 1;

namespace {

// The largest "tool.txt" the gate reads; a larger one is passed over.
constexpr std::size_t TOOL_RECORD_LIMIT = 65535;

bool find_key(const char* key, const char* text, const char** after) {
    std::string needle = std::string("\"") + key + "\":";
    const char* found = std::strstr(text, needle.c_str());
    if (!found) return false;
    *after = found + needle.size();
    return true;
}

}  // namespace

bool integer_lookup(const char* key, const char* text, int* value) {
    const char* p = nullptr;
    if (!key || !text || !find_key(key, text, &p)) return false;
    while (*p && !(*p >= '0' && *p <= '9') && *p != '-') ++p;
    if (!*p) return false;
    *value = std::atoi(p);
    return true;
}

bool tool_record_accepted(const char* text) {
    const char* p = nullptr;
    if (!text || !find_key("tool_name", text, &p)) return false;
    p = std::strchr(p, '"');
    if (!p) return false;
    ++p;
    const char* end = std::strchr(p, '"');
    std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (length > 63) length = 63;
    if (std::string(p, length) != ORNAT_TOOL_NAME) return false;
    int major = 0, minor = 0, revision = 0;
    if (!integer_lookup("version_major", text, &major) || !integer_lookup("version_minor", text, &minor) ||
        !integer_lookup("version_revision", text, &revision))
        return false;
    if (major != ORNAT_VERSION_MAJOR) return major < ORNAT_VERSION_MAJOR;
    if (minor != ORNAT_VERSION_MINOR) return minor < ORNAT_VERSION_MINOR;
    return revision <= ORNAT_VERSION_REVISION;
}

bool backup_version_accepted(backup_source* source) {
    const auto same_letters = [](const std::string& name) {
        constexpr char wanted[] = "tool.txt";
        if (name.size() != sizeof wanted - 1) return false;
        for (std::size_t i = 0; i < name.size(); ++i) {
            char c = name[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != wanted[i]) return false;
        }
        return true;
    };
    const bool any_case = source->kind == backup_source_kind::archive;
    const auto found = std::find_if(source->members.begin(), source->members.end(), [&](const std::string& name) {
        return any_case ? same_letters(name) : name == "tool.txt";
    });
    if (found == source->members.end()) return true;
    std::vector<unsigned char> text;
    const int code = backup_source_read(source, *found, &text);
    if (code == BACKUP_SOURCE_TOO_LARGE) return true;
    if (code != BACKUP_SOURCE_OK) return false;  // a tool record that cannot be read is an unreadable version
    if (text.empty() || text.size() > TOOL_RECORD_LIMIT) return true;
    text.push_back('\0');
    return tool_record_accepted(reinterpret_cast<const char*>(text.data()));
}

std::string backup_archive_name(const char* address, const std::tm* local) {
    std::string sanitised(address ? address : "");
    for (char& c : sanitised) {
        if (std::strchr("<>:\"/\\|?*", c) && c != '\0') c = '_';
    }
    unsigned year = 1900, month = 1, day = 0, hour = 0, minute = 0, second = 0;
    if (local) {
        year = static_cast<unsigned>(local->tm_year + 1900);
        month = static_cast<unsigned>(local->tm_mon + 1);
        day = static_cast<unsigned>(local->tm_mday);
        hour = static_cast<unsigned>(local->tm_hour);
        minute = static_cast<unsigned>(local->tm_min);
        second = static_cast<unsigned>(local->tm_sec);
    }
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "_TARNEL_%04u%02u%02u_%02u%02u%02u.zip", year, month, day, hour, minute, second);
    return "backup_" + sanitised + stamp;
}
