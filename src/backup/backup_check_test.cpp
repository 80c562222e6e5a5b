#include "backup/backup_check.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "support/tar_builder.h"

namespace {

// Model name, firmware version, serial number and mac as read.
using status_values = std::array<std::optional<std::string>, 4>;

const tar_entry SET = {"/etc/config/dali/dali1.bin", std::string(16, '\x5A')};
const tar_entry STATUS = {
    "status.txt",
    R"({"model_name":"TARNEL-2","firmware_version":"2.4.1","serial_number":"SN0042","mac":"00:11:22:33:44:55"})"};
const status_values GOOD = {"TARNEL-2", "2.4.1", "SN0042", "00:11:22:33:44:55"};
const status_values NONE = {};

const std::string FILE_ERROR = "\tfile error -1.\r\n";
const std::string NOT_FOUND = "backup\terror status.txt file not found.\r\nError, status.txt file not found.\r\n";
const std::string SIZE_ERROR = "backup\terror status.txt file size error.\r\nError, status.txt file size error.\r\n";
const std::string READING_ERROR = "backup\terror reading status.txt.\r\nError reading status.txt.\r\n";

std::string listing(const std::vector<tar_entry>& members) {
    std::string text = "backup\tbackup file contains: \r\n";
    for (const tar_entry& m : members) text += "\t" + m.name + " (" + std::to_string(m.data.size()) + " bytes)\r\n";
    return text;
}

std::string value_lines(const status_values& v) {
    const char* labels[] = {"model name", "firmware version", "serial number", "mac"};
    std::string text;
    for (std::size_t i = 0; i < v.size(); ++i) {
        text += std::string("backup\t") + labels[i] + ": " + v[i].value_or("(null)") + "\r\n";
    }
    return text;
}

void expect_check(const bytes& data, int result, const std::string& out, const status_values& values) {
    backup_set_data set;
    set.data = data;
    testing::internal::CaptureStdout();
    EXPECT_EQ(backup_check(&set), result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    EXPECT_EQ((status_values{set.model_name, set.firmware_version, set.serial_number, set.mac}), values);
}

TEST(BackupCheck, ResultCodesAndMessages) {
    const tar_entry other_status = {"status.json", STATUS.data};
    const tar_entry empty_status = {"status.txt", ""};
    const tar_entry html_status = {"status.txt", "<html>"};
    const tar_entry huge_status = {.name = "status.txt", .data = STATUS.data, .size_field = "37777777777"};
    const std::string page = "<!DOCTYPE html>\n<html><body>" + std::string(600, '.') + "</body></html>\n";
    const struct {
        const char* what;
        bytes data;  // the set as fetched
        int result;
        std::string out;  // the console output
        status_values values;
    } cases[] = {
        {"set and status", tar_image({SET, STATUS}), 0, listing({SET, STATUS}) + value_lines(GOOD), GOOD},
        {"no data", {}, 1, "", NONE},
        // No such set on the controller; its status is still read and shown.
        {"status only", tar_image({STATUS}), 3, listing({STATUS}) + value_lines(GOOD), GOOD},
        {"status under another name", tar_image({SET, other_status}), 2, listing({SET, other_status}) + NOT_FOUND,
         NONE},
        {"set only", tar_image({SET}), 3, listing({SET}) + NOT_FOUND, NONE},
        {"HTML page", to_bytes(page), 3, listing({}) + "\tfile error -6.\r\n" + NOT_FOUND, NONE},
        {"short HTML page", to_bytes("<html><body>Error</body></html>"), 3, listing({}) + FILE_ERROR + NOT_FOUND, NONE},
        // A broken status does not fail a tar that holds the set.
        {"empty status", tar_image({SET, empty_status}), 0, listing({SET, empty_status}) + SIZE_ERROR, NONE},
        {"status not JSON", tar_image({SET, html_status}), 0, listing({SET, html_status}) + value_lines(NONE), NONE},
        // The listing stops at the cut, but the status before it is whole.
        {"set cut", tar_image({STATUS, SET}, {.length = 3 * 512 + 8}), 0,
         listing({STATUS, SET}) + FILE_ERROR + value_lines(GOOD), GOOD},
        // Cut inside the status data: the result is the listing's last code.
        {"status cut", tar_image({SET, STATUS}, {.length = 3 * 512 + 20}), -1,
         listing({SET, STATUS}) + FILE_ERROR + READING_ERROR, NONE},
        // The walk cannot pass the huge member (which is not allocated), so
        // only the set's file counts as listed.
        {"status claims 4 GiB", tar_image({SET, huge_status}), 3,
         listing({SET}) + "\tstatus.txt (-1 bytes)\r\n" + FILE_ERROR + READING_ERROR, NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_check(c.data, c.result, c.out, c.values);
    }
}

TEST(BackupCheck, StatusValues) {
    const struct {
        const char* what;
        const char* status;
        status_values values;
    } cases[] = {
        {"missing key",
         R"({"model_name":"TARNEL-4","firmware_version":"3.0.0","serial_number":"7"})",
         {"TARNEL-4", "3.0.0", "7", std::nullopt}},
        {"later value wins", R"({"mac":"first","model_name":"M","mac":"second"})", {"M", {}, {}, "second"}},
        // Unknown keys, numbers, literals and arrays pass; a value that is a
        // key name is still a value; escapes are decoded.
        {"other members",
         R"({"uptime":12,"ok":true,"list":[1,2],"model_name":"mac","serial_number":"A\"B","firmware_version":"1.0"})",
         {"mac", "1.0", "A\"B", {}}},
        {"syntax error keeps earlier values", R"({"model_name":"TARNEL-1","mac":)", {"TARNEL-1", {}, {}, {}}},
        {"keys outside any object", R"(["mac","x"])", NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<tar_entry> members = {SET, {"status.txt", c.status}};
        expect_check(tar_image(members), 0, listing(members) + value_lines(c.values), c.values);
    }
}

}  // namespace
