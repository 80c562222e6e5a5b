// The command line through the real binary, and the list option values.
#include "main/cli.h"

#include <gtest/gtest.h>

#include "common/version.h"
#include "support/run_tool.h"

namespace {

const std::string BANNER = std::string(TOOL_NAME) + "\n";

TEST(Cli, ExitStatuses) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{}, 0, BANNER},  // no action: nothing to do
        {{"--action", "Get_Status", "--ip", "10.0.0.5"},
         2,
         BANNER + "ACTION=Get_Status\nIP=10.0.0.5\noptAction=Get_Status\noptIP=10.0.0.5\n\n"
                  "Action 'Get_Status' not defined.\n"},
        {{"--version", "--action", "get_status"}, 0, BANNER + "Version " + TOOL_VERSION + "\n"},
    };
    for (const auto& c : cases) {
        tool_run r = run_tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_EQ(r.out, c.out);
    }
    // --help prints the help where it stands and ends the run there.
    tool_run help = run_tool({"--action", "get_status", "--help", "--ip", "10.0.0.5"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with(BANNER + "ACTION=get_status\nHelp\nversion\t")) << help.out;
    EXPECT_EQ(help.out.find("IP="), std::string::npos);
}

TEST(Cli, EchoLinesOfEveryOption) {
    // clang-format off
    tool_run r = run_tool({"--action", "write_file_flashfs", "--ip", "10.0.0.5", "--backupfileout=/tmp/x",
                           "--backupfileouttype", "zip", "--backupfilein", "in.zip", "--firmwarefile", "fw.bin",
                           "--comparewith", "b.zip", "--backupconfig", "[\"dali1\"]", "-c", "[1,4]", "--create", "3",
                           "--channelcsvfile", "a.csv", "--channelgroupscsvfile", "[\"g.csv\"]",
                           "--channelinputscsvfile", "[\"i.csv\"]", "--verbose", "--delete", "x", "--file=f.txt",
                           "--ip", "10.0.0.6"});
    // clang-format on
    // The CSV file lists echo their raw value again, without a line end;
    // after the options come the values that apply, the last of each.
    EXPECT_EQ(r.out, BANNER +
                         "ACTION=write_file_flashfs\nIP=10.0.0.5\nBackupFileOut/tmp/x\nBackupFileOutTypezip\n"
                         "BackupFileInin.zip\nFIRMWAREFILE=fw.bin\nCompareWithb.zip\nBackupConfig[\"dali1\"]\n"
                         "CHANNEL=[1,4]\nCHANNEL=3\nCHANNELCSVFILE=a.csv\noptarg=#a.csv#"
                         "CHANNELGROUPSCSVFILE=[\"g.csv\"]\noptarg=#[\"g.csv\"]#"
                         "CHANNELINPUTSCSVFILE=[\"i.csv\"]\noptarg=#[\"i.csv\"]#"
                         "option verbose\noption delete with arg x\noption file with arg f.txt\nIP=10.0.0.6\n"
                         "optAction=write_file_flashfs\noptIP=10.0.0.6\noptBackupFileOut=/tmp/x\n"
                         "optBackupFileOutType=zip\n");
    // A recognised action without an operation does nothing, so it does not
    // report success.
    EXPECT_EQ(r.status, 1);
}

TEST(CliLists, ChannelValues) {
    const struct {
        const char* text;
        std::optional<std::vector<std::uint32_t>> expected;
    } cases[] = {
        {"2", std::vector<std::uint32_t>{2}},
        {"[1,4]", std::vector<std::uint32_t>{1, 4}},
        {"[\"3\"]", std::vector<std::uint32_t>{3}},
        {"1,2", std::vector<std::uint32_t>{1}},  // the first value only
        {"2.9", std::vector<std::uint32_t>{2}},
        {"-1.5", std::vector<std::uint32_t>{0xFFFFFFFFu}},
        {"1e300", std::vector<std::uint32_t>{0x7FFFFFFFu}},                         // saturated, not undefined
        {"[1,[2],3]", std::vector<std::uint32_t>{1, 2}},                            // the first array end ends the list
        {"[1,true,null,{\"x\":\"7\"},2]", std::vector<std::uint32_t>{1, 0, 7, 2}},  // member names count
        {"[1,2,", std::vector<std::uint32_t>{1, 2}},  // a parse error keeps what came before
        {"abc", std::nullopt},
        {"[]", std::nullopt},
    };
    for (const auto& c : cases) {
        std::optional<std::vector<std::uint32_t>> list;
        fill_channels(c.text, list);
        EXPECT_EQ(list, c.expected) << c.text;
    }
}

TEST(CliLists, StringValuesAndLaterOccurrences) {
    std::optional<std::vector<std::string>> list;
    fill_strings("[\"C:\\\\dir\\\\a.csv\", 5, \"x\\u00e9\"]", list);  // numbers are passed over
    EXPECT_EQ(list, (std::vector<std::string>{"C:\\dir\\a.csv", "x\xc3\xa9"}));
    // A later occurrence replaces the list only when it yields values: not
    // for text that is not JSON, or has an invalid escape.
    fill_strings("\"d.csv\"", list);
    for (const char* no_value : {"bare.csv", "\"C:\\dir\""}) fill_strings(no_value, list);
    EXPECT_EQ(list, (std::vector<std::string>{"d.csv"}));
}

}  // namespace
