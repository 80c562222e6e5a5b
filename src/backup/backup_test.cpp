#include "backup/backup.h"

#include <gtest/gtest.h>

#include <cstring>

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
    EXPECT_EQ(backup_archive_name("fe80::1", &t), "backup_fe80__1_TARNEL_20260105_070309.zip");
    EXPECT_EQ(backup_archive_name("a<b>c:d\"e/f\\g|h?i*j", &t), "backup_a_b_c_d_e_f_g_h_i_j_TARNEL_20260105_070309.zip");
    EXPECT_EQ(backup_archive_name("127.0.0.1:8080", nullptr), "backup_127.0.0.1_8080_TARNEL_19000100_000000.zip");
}

TEST(ToolRecord, ExactBytes) {
    EXPECT_EQ(std::strlen(TOOL_RECORD), 129u);
    EXPECT_EQ(std::string(TOOL_RECORD),
              "{\n  \"tool_name\": \"ornat-cli\",\n  \"version_major\": 1,\n  \"version_minor\": 3,\n"
              "  \"version_revision\": 0,\n  \"version_string\": \"1.3.0\"\n}\n");
}

}  // namespace
