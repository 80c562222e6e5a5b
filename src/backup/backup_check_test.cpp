#include "backup/backup_check.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tar/tar.h"

namespace {

using bytes = std::vector<unsigned char>;
// Model name, firmware version, serial number and mac as read.
using status_values = std::array<std::optional<std::string>, 4>;

struct member {
    std::string name;
    std::string data;
};

bytes write_tar(const std::vector<member>& members)
{
    bytes out;
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

bytes cut(bytes data, std::size_t length)
{
    data.resize(length);
    return data;
}

bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

const std::string SET_PATH = "/etc/config/dali/dali1.bin";
const member SET = {SET_PATH, std::string(16, '\x5A')};
const member STATUS = {
    "status.txt",
    R"({"model_name":"TARNEL-2","firmware_version":"2.4.1","serial_number":"SN0042","mac":"00:11:22:33:44:55"})"};
const status_values GOOD = {"TARNEL-2", "2.4.1", "SN0042", "00:11:22:33:44:55"};
const status_values NONE = {};

const std::string FILE_ERROR = "\tfile error -1.\r\n";
const std::string NOT_FOUND = "backup\terror status.txt file not found.\r\nError, status.txt file not found.\r\n";
const std::string SIZE_ERROR = "backup\terror status.txt file size error.\r\nError, status.txt file size error.\r\n";
const std::string READING_ERROR = "backup\terror reading status.txt.\r\nError reading status.txt.\r\n";

std::string listing(const std::vector<member>& members)
{
    std::string text = "backup\tbackup file contains: \r\n";
    for (const member& m : members) {
        text += "\t" + m.name + " (" + std::to_string(m.data.size()) + " bytes)\r\n";
    }
    return text;
}

std::string value_lines(const status_values& v)
{
    const char* labels[] = {"model name", "firmware version", "serial number", "mac"};
    std::string text;
    for (std::size_t i = 0; i < v.size(); ++i) {
        text += std::string("backup\t") + labels[i] + ": " + v[i].value_or("(null)") + "\r\n";
    }
    return text;
}

void expect_check(const bytes& data, int result, const std::string& out, const status_values& values)
{
    backup_set_data set;
    set.data = data;
    testing::internal::CaptureStdout();
    EXPECT_EQ(backup_check(&set), result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    EXPECT_EQ((status_values{set.model_name, set.firmware_version, set.serial_number, set.mac}), values);
}

// A status member whose size field (offset 124 of the second header) says
// 0xFFFFFFFF, with the checksum (offset 148) adjusted.
bytes huge_status()
{
    bytes data = write_tar({SET, STATUS});
    unsigned char* header = &data[1024];
    std::memset(header + 124, 0, 12);
    std::memcpy(header + 124, "37777777777", 11);
    unsigned sum = 256;
    for (std::size_t i = 0; i < 512; ++i) {
        sum += (i < 148 || i >= 156) ? header[i] : 0;
    }
    std::snprintf(reinterpret_cast<char*>(header + 148), 8, "%06o", sum);
    return data;
}

TEST(BackupCheck, ResultCodesAndMessages)
{
    std::string page = "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head><body>\n";
    while (page.size() < 600) {
        page += "<p>No such configuration.</p>\n";
    }
    const member other_status = {"status.json", STATUS.data};
    const member empty_status = {"status.txt", ""};
    const struct {
        const char* what;
        bytes data;       // the set as fetched
        int result;
        std::string out;  // the console output
        status_values values;
    } cases[] = {
        {"set and status", write_tar({SET, STATUS}), 0, listing({SET, STATUS}) + value_lines(GOOD), GOOD},
        {"no data", {}, 1, "", NONE},
        // No such set on the controller; its status is still read and shown.
        {"status only", write_tar({STATUS}), 3, listing({STATUS}) + value_lines(GOOD), GOOD},
        {"status under another name", write_tar({SET, other_status}), 2, listing({SET, other_status}) + NOT_FOUND,
         NONE},
        {"set only", write_tar({SET}), 3, listing({SET}) + NOT_FOUND, NONE},
        {"empty tar", write_tar({}), 3, listing({}) + NOT_FOUND, NONE},
        {"HTML page", to_bytes(page + "</body></html>\n"), 3, listing({}) + "\tfile error -6.\r\n" + NOT_FOUND, NONE},
        {"short HTML page", to_bytes("<html><body>Server error</body></html>"), 3, listing({}) + FILE_ERROR + NOT_FOUND,
         NONE},
        // A broken status does not fail a tar that holds the set.
        {"empty status", write_tar({SET, empty_status}), 0, listing({SET, empty_status}) + SIZE_ERROR, NONE},
        {"empty status alone", write_tar({empty_status}), 3, listing({empty_status}) + SIZE_ERROR, NONE},
        {"status not JSON", write_tar({SET, {"status.txt", "<html>"}}), 0,
         listing({SET, {"status.txt", "<html>"}}) + value_lines(NONE), NONE},
        // The listing stops at the cut, but the status before it is whole.
        {"set cut", cut(write_tar({STATUS, SET}), 512 + 512 + 512 + 8), 0,
         listing({STATUS, SET}) + FILE_ERROR + value_lines(GOOD), GOOD},
        // Cut inside the status data: the result is the listing's last code.
        {"status cut", cut(write_tar({SET, STATUS}), 1024 + 512 + 20), -1,
         listing({SET, STATUS}) + FILE_ERROR + READING_ERROR, NONE},
        // The walk cannot pass the huge member (which is not allocated), so
        // only the set's file counts as listed.
        {"status claims 4 GiB", huge_status(), 3,
         listing({SET}) + "\tstatus.txt (-1 bytes)\r\n" + FILE_ERROR + READING_ERROR, NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_check(c.data, c.result, c.out, c.values);
    }
    EXPECT_EQ(backup_check(nullptr), 1);
}

TEST(BackupCheck, StatusValues)
{
    const struct {
        const char* what;
        const char* status;
        status_values values;
    } cases[] = {
        {"missing key", R"({"model_name":"TARNEL-4","firmware_version":"3.0.0","serial_number":"7"})",
         {"TARNEL-4", "3.0.0", "7", std::nullopt}},
        {"later value wins", R"({"mac":"first","model_name":"M","mac":"second"})", {"M", {}, {}, "second"}},
        // Unknown keys, numbers, literals and arrays pass; a value that is a
        // key name is still a value; escapes are decoded.
        {"other members",
         R"({"uptime":12,"ok":true,"list":[1,2],"model_name":"mac","serial_number":"A\"B","firmware_version":"1.0"})",
         {"mac", "1.0", "A\"B", {}}},
        {"syntax error keeps earlier values", R"({"model_name":"TARNEL-1","mac":)", {"TARNEL-1", {}, {}, {}}},
        {"key outside any object", R"("mac")", NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<member> members = {SET, {"status.txt", c.status}};
        expect_check(write_tar(members), 0, listing(members) + value_lines(c.values), c.values);
    }
}

}  // namespace
