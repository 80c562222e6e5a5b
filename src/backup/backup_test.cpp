#include "backup/backup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/version.h"

namespace {

TEST(BackupArchiveName, SanitisedAddressAndTime) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 3;
    t.tm_sec = 9;
    EXPECT_EQ(backup_archive_name("192.168.1.20", &t), "backup_192.168.1.20_TARNEL_20260105_070309.zip");
    EXPECT_EQ(backup_archive_name("a<b>c:d\"e/f\\g|h?i*j", &t),
              "backup_a_b_c_d_e_f_g_h_i_j_TARNEL_20260105_070309.zip");
}

std::string record(const std::string& name, const std::string& major, const std::string& minor,
                   const std::string& revision) {
    return "{\n  \"tool_name\": \"" + name + "\",\n  \"version_major\": " + major + ",\n  \"version_minor\": " + minor +
           ",\n  \"version_revision\": " + revision + "\n}\n";
}

std::string n(int value) { return std::to_string(value); }

TEST(VersionGate, AcceptsThisVersionAndOlderOnly) {
    const int ma = TOOL_VERSION_MAJOR, mi = TOOL_VERSION_MINOR, re = TOOL_VERSION_REVISION;
    EXPECT_TRUE(tool_record_accepted(TOOL_RECORD));
    struct Case {
        std::string major, minor, revision;
        bool accepted;
    };
    const Case cases[] = {
        {n(ma), n(mi), n(re), true},
        {n(ma), n(mi), n(re + 1), false},
        {n(ma), n(mi + 1), "0", false},
        {n(ma + 1), "0", "0", false},
        {n(ma), n(mi - 1), "99", true},
        {n(ma - 1), "99", "99", true},
        {n(ma), n(mi), "-1", true},
        {"\"" + n(ma) + "\"", "\"" + n(mi) + "\"", "\"" + n(re) + "\"", true},  // quoted numbers are read
        {"\"" + n(ma) + "\"", "\"" + n(mi) + "\"", "\"" + n(re + 1) + "\"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tool_record_accepted(record("ornat-cli", c.major, c.minor, c.revision).c_str()), c.accepted)
            << c.major << "." << c.minor << "." << c.revision;
    }
}

TEST(VersionGate, RefusesOtherToolsAndUnreadableRecords) {
    const char* refused[] = {
        "{\"tool_name\": \"ornat-cli2\", \"version_major\": 1, \"version_minor\": 0, \"version_revision\": 0}",
        "{\"tool_name\": \"\", \"version_major\": 1, \"version_minor\": 0, \"version_revision\": 0}",
        "{\"tool_name\": \"ornat-cli\", \"version_major\": 1}",  // missing numbers
        "{\"version_major\": 1, \"version_minor\": 0, \"version_revision\": 0}",
        "{\"tool_name\": 5}",
        "{\"tool_name\": \"ornat-cli",
        "",
    };
    for (const char* text : refused) EXPECT_FALSE(tool_record_accepted(text)) << text;
    // A name longer than 63 characters is compared on its first 63.
    EXPECT_FALSE(tool_record_accepted(record("ornat-cli" + std::string(80, 'x'), "1", "0", "0").c_str()));
}

}  // namespace
