#include "backup/backup_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tar/tar.h"

namespace {

struct member {
    std::string name;
    std::string data;
};

std::vector<unsigned char> write_tar(const std::vector<member>& members)
{
    std::vector<unsigned char> out;
    tar_archive tar;
    tar_mem_open_write(&tar, &out);
    for (const member& m : members) {
        const auto size = static_cast<std::uint32_t>(m.data.size());
        EXPECT_EQ(tar_write_file_header(&tar, m.name.c_str(), size), TAR_OK);
        EXPECT_EQ(tar_write_data(&tar, m.data.data(), size), TAR_OK);
    }
    EXPECT_EQ(tar_finalize(&tar), TAR_OK);
    return out;
}

const char* const SET_PATH = "/etc/config/dali/dali1.bin";
const std::string SET_FILE(16, '\x5A');
const std::string GOOD_STATUS =
    R"({"model_name":"TARNEL-2","firmware_version":"2.4.1","serial_number":"SN0042","mac":"00:11:22:33:44:55"})";

struct check_run {
    int result;
    std::string out;
    backup_set_data set;
};

check_run run_check(std::vector<unsigned char> data)
{
    check_run run;
    run.set.data = std::move(data);
    testing::internal::CaptureStdout();
    run.result = backup_check(&run.set);
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

check_run run_check(const std::vector<member>& members) { return run_check(write_tar(members)); }

std::string value_lines(const char* model, const char* firmware, const char* serial, const char* mac)
{
    return std::string("backup\tmodel name: ") + model + "\r\n" + "backup\tfirmware version: " + firmware + "\r\n" +
           "backup\tserial number: " + serial + "\r\n" + "backup\tmac: " + mac + "\r\n";
}

std::string listing(const std::vector<member>& members)
{
    std::string text = "backup\tbackup file contains: \r\n";
    for (const member& m : members) {
        text += "\t" + m.name + " (" + std::to_string(m.data.size()) + " bytes)\r\n";
    }
    return text;
}

TEST(BackupCheckResult, GoodSetFillsTheFourValues)
{
    const std::vector<member> members = {{SET_PATH, SET_FILE}, {"status.txt", GOOD_STATUS}};
    check_run run = run_check(members);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, listing(members) + value_lines("TARNEL-2", "2.4.1", "SN0042", "00:11:22:33:44:55"));
    EXPECT_EQ(run.set.model_name, "TARNEL-2");
    EXPECT_EQ(run.set.firmware_version, "2.4.1");
    EXPECT_EQ(run.set.serial_number, "SN0042");
    EXPECT_EQ(run.set.mac, "00:11:22:33:44:55");
}

TEST(BackupCheckResult, NoDataIsOne)
{
    check_run run = run_check(std::vector<unsigned char>{});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(backup_check(nullptr), 1);
}

TEST(BackupCheckResult, OnlyStatusMeansNoSuchSet)
{
    const std::vector<member> members = {{"status.txt", GOOD_STATUS}};
    check_run run = run_check(members);
    EXPECT_EQ(run.result, 3);
    // The status is still read and shown.
    EXPECT_EQ(run.out, listing(members) + value_lines("TARNEL-2", "2.4.1", "SN0042", "00:11:22:33:44:55"));
    EXPECT_EQ(run.set.mac, "00:11:22:33:44:55");
}

TEST(BackupCheckResult, MissingStatus)
{
    const std::string not_found =
        "backup\terror status.txt file not found.\r\nError, status.txt file not found.\r\n";
    {
        const std::vector<member> members = {{SET_PATH, SET_FILE}, {"status.json", GOOD_STATUS}};
        check_run run = run_check(members);
        EXPECT_EQ(run.result, 2);
        EXPECT_EQ(run.out, listing(members) + not_found);
        EXPECT_FALSE(run.set.model_name);
        EXPECT_FALSE(run.set.mac);
    }
    {
        const std::vector<member> members = {{SET_PATH, SET_FILE}};
        check_run run = run_check(members);
        EXPECT_EQ(run.result, 3);
        EXPECT_EQ(run.out, listing(members) + not_found);
    }
    {
        check_run run = run_check(write_tar({}));
        EXPECT_EQ(run.result, 3);
        EXPECT_EQ(run.out, listing({}) + not_found);
    }
}

TEST(BackupCheckResult, HtmlPageInsteadOfATar)
{
    std::string page = "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head><body>\n";
    while (page.size() < 600) {
        page += "<p>No such configuration.</p>\n";
    }
    page += "</body></html>\n";
    const std::string tail = "backup\terror status.txt file not found.\r\nError, status.txt file not found.\r\n";

    check_run run = run_check(std::vector<unsigned char>(page.begin(), page.end()));
    EXPECT_EQ(run.result, 3);
    EXPECT_EQ(run.out, "backup\tbackup file contains: \r\n\tfile error -6.\r\n" + tail);

    const std::string short_page = "<html><body>Server error</body></html>";
    run = run_check(std::vector<unsigned char>(short_page.begin(), short_page.end()));
    EXPECT_EQ(run.result, 3);
    EXPECT_EQ(run.out, "backup\tbackup file contains: \r\n\tfile error -1.\r\n" + tail);
}

TEST(BackupCheckResult, BrokenStatusDoesNotFailALongerTar)
{
    {
        const std::vector<member> members = {{SET_PATH, SET_FILE}, {"status.txt", ""}};
        check_run run = run_check(members);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.out, listing(members) +
                               "backup\terror status.txt file size error.\r\nError, status.txt file size error.\r\n");
        EXPECT_FALSE(run.set.model_name);
    }
    {
        const std::vector<member> members = {{"status.txt", ""}};
        EXPECT_EQ(run_check(members).result, 3);
    }
    {
        // Not JSON at all: the four values stay null.
        const std::vector<member> members = {{SET_PATH, SET_FILE}, {"status.txt", "<html>"}};
        check_run run = run_check(members);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.out, listing(members) + value_lines("(null)", "(null)", "(null)", "(null)"));
    }
}

TEST(BackupCheckResult, TruncatedTars)
{
    const std::string reading_error = "backup\terror reading status.txt.\r\nError reading status.txt.\r\n";
    // "status.txt" first, the set's file cut off: the listing stops with a
    // file error but the status is complete, so the set is good.
    {
        std::vector<unsigned char> data = write_tar({{"status.txt", GOOD_STATUS}, {SET_PATH, SET_FILE}});
        data.resize(512 + 512 + 512 + 8);
        check_run run = run_check(data);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.out, listing({{"status.txt", GOOD_STATUS}, {SET_PATH, SET_FILE}}) + "\tfile error -1.\r\n" +
                               value_lines("TARNEL-2", "2.4.1", "SN0042", "00:11:22:33:44:55"));
    }
    // "status.txt" last and cut inside its data: the result is the listing's
    // last code.
    {
        std::vector<unsigned char> data = write_tar({{SET_PATH, SET_FILE}, {"status.txt", GOOD_STATUS}});
        data.resize(1024 + 512 + 20);
        check_run run = run_check(data);
        EXPECT_EQ(run.result, -1);
        EXPECT_EQ(run.out, listing({{SET_PATH, SET_FILE}, {"status.txt", GOOD_STATUS}}) + "\tfile error -1.\r\n" +
                               reading_error);
        EXPECT_FALSE(run.set.model_name);
    }
}

TEST(BackupCheckResult, StatusClaimingFourGigabytesIsNotAllocated)
{
    std::vector<unsigned char> data = write_tar({{SET_PATH, SET_FILE}, {"status.txt", GOOD_STATUS}});
    // Size field (offset 124 of the second header) rewritten to 0xFFFFFFFF,
    // with the checksum (offset 148) adjusted.
    unsigned char* header = &data[1024];
    std::memset(header + 124, 0, 12);
    std::memcpy(header + 124, "37777777777", 11);
    unsigned sum = 256;
    for (std::size_t i = 0; i < 512; ++i) {
        sum += (i < 148 || i >= 156) ? header[i] : 0;
    }
    std::snprintf(reinterpret_cast<char*>(header + 148), 8, "%06o", sum);

    // The walk cannot pass the huge member, so only the set's file counts
    // as listed and the tar is short.
    check_run run = run_check(data);
    EXPECT_EQ(run.result, 3);
    EXPECT_EQ(run.out, "backup\tbackup file contains: \r\n\t" + std::string(SET_PATH) +
                           " (16 bytes)\r\n\tstatus.txt (-1 bytes)\r\n\tfile error -1.\r\n"
                           "backup\terror reading status.txt.\r\nError reading status.txt.\r\n");
}

check_run run_status(const std::string& status)
{
    return run_check({{SET_PATH, SET_FILE}, {"status.txt", status}});
}

TEST(BackupCheckStatus, MissingKeyPrintsNull)
{
    check_run run = run_status(R"({"model_name":"TARNEL-4","firmware_version":"3.0.0","serial_number":"7"})");
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find(value_lines("TARNEL-4", "3.0.0", "7", "(null)")), std::string::npos) << run.out;
    EXPECT_FALSE(run.set.mac);
    EXPECT_EQ(run.set.serial_number, "7");
}

TEST(BackupCheckStatus, LaterValueOfAKeyWins)
{
    check_run run = run_status(R"({"mac":"first","model_name":"M","mac":"second"})");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.set.mac, "second");
    EXPECT_EQ(run.set.model_name, "M");
    EXPECT_NE(run.out.find("backup\tmac: second\r\n"), std::string::npos);
}

TEST(BackupCheckStatus, OtherMembersAndValuesPassOver)
{
    // Unknown keys, numbers, literals and arrays are skipped; a key's value
    // that happens to be a key name is still a value; escapes are decoded.
    check_run run = run_status(
        R"({"uptime":12,"ok":true,"list":[1,2],"model_name":"mac","serial_number":"A\"B","firmware_version":"1.0"})");
    EXPECT_EQ(run.set.model_name, "mac");
    EXPECT_EQ(run.set.serial_number, "A\"B");
    EXPECT_EQ(run.set.firmware_version, "1.0");
    EXPECT_FALSE(run.set.mac);
}

TEST(BackupCheckStatus, ValuesBeforeASyntaxErrorAreKept)
{
    check_run run = run_status(R"({"model_name":"TARNEL-1","mac":)");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.set.model_name, "TARNEL-1");
    EXPECT_FALSE(run.set.mac);

    // Key names outside any object are not looked at.
    run = run_status(R"("mac")");
    EXPECT_FALSE(run.set.mac);
}

}  // namespace
