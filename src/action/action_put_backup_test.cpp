#include "action/action_put_backup.h"

#include <gtest/gtest.h>

#include "backup/backup.h"

namespace {

std::string record(const std::string& name, const std::string& major, const std::string& minor,
                   const std::string& revision) {
    return "{\n  \"tool_name\": \"" + name + "\",\n  \"version_major\": " + major + ",\n  \"version_minor\": " + minor +
           ",\n  \"version_revision\": " + revision + "\n}\n";
}

TEST(VersionGate, AcceptsThisVersionAndOlder) {
    EXPECT_TRUE(tool_record_accepted(TOOL_RECORD));
    struct Case {
        const char* major;
        const char* minor;
        const char* revision;
        bool accepted;
    };
    const Case cases[] = {
        {"1", "3", "0", true},   {"1", "3", "1", false}, {"1", "4", "0", false}, {"2", "0", "0", false},
        {"1", "2", "9", true},   {"0", "9", "9", true},  {"1", "3", "-1", true}, {"\"1\"", "\"3\"", "\"0\"", true},
        {"\"1\"", "\"3\"", "\"1\"", false},               {"-2", "99", "99", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tool_record_accepted(record("ornat-cli", c.major, c.minor, c.revision).c_str()), c.accepted)
            << c.major << "." << c.minor << "." << c.revision;
    }
}

TEST(VersionGate, RefusesOtherToolsAndUnreadableRecords) {
    EXPECT_FALSE(tool_record_accepted(record("ornat-cli2", "1", "0", "0").c_str()));
    EXPECT_FALSE(tool_record_accepted(record("other", "1", "0", "0").c_str()));
    EXPECT_FALSE(tool_record_accepted(record("", "1", "0", "0").c_str()));
    EXPECT_FALSE(tool_record_accepted("{\"tool_name\": \"ornat-cli\", \"version_major\": 1}"));  // missing numbers
    EXPECT_FALSE(tool_record_accepted("{\"version_major\": 1, \"version_minor\": 0, \"version_revision\": 0}"));
    EXPECT_FALSE(tool_record_accepted("{\"tool_name\": 5}"));  // no quote follows
    EXPECT_FALSE(tool_record_accepted("{\"tool_name\": \"ornat-cli"));  // unterminated name, no numbers
    EXPECT_FALSE(tool_record_accepted(""));
    EXPECT_FALSE(tool_record_accepted(nullptr));
    // A name longer than 63 characters is compared on its first 63.
    EXPECT_FALSE(tool_record_accepted(record("ornat-cli" + std::string(80, 'x'), "1", "0", "0").c_str()));
}

TEST(VersionGate, IntegerLookup) {
    int value = 0;
    EXPECT_TRUE(integer_lookup("n", "{\"n\": 42}", &value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(integer_lookup("n", "{\"n\":\"-7\"}", &value));
    EXPECT_EQ(value, -7);
    EXPECT_TRUE(integer_lookup("n", "{\"n\": \"v\", \"m\": 3}", &value));  // passes over anything up to a digit
    EXPECT_EQ(value, 3);
    EXPECT_FALSE(integer_lookup("n", "{\"n\": \"v\"}", &value));
    EXPECT_FALSE(integer_lookup("n", "{\"nn\": 1}", &value));
    EXPECT_FALSE(integer_lookup("n", "{\"n\" : 1}", &value));  // the colon must follow the quote
}

}  // namespace
