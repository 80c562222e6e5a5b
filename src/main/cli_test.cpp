// The command line, exercised through the real binary.
#include "support/run_tool.h"

#include <gtest/gtest.h>

namespace {

const std::string BANNER = "ornat-cli\n";

TEST(Cli, NoArgumentsPrintsOnlyTheBanner) {
    tool_run r = run_tool({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, BANNER);
}

TEST(Cli, HelpAndVersionEndTheRunAtOnce) {
    tool_run help = run_tool({"--action", "get_status", "--help", "--ip", "10.0.0.5"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, BANNER + "ACTION=get_status\n" + "Help\n" + "version\t\tShow the command version.\n" +
                            "help\t\tShow the command help.\n" +
                            "action\t\tsetup_channel|get_backup|put_backup|push_firmware.\n" +
                            "ip\t\tIP address of the controller.\n" + "channel\t\tChannel number (1-4).\n" +
                            "channelcsvfile\tChannel CSV file path.\n" +
                            "firmwarefile\tFirmware binary file path.\n");
    tool_run version = run_tool({"--version", "--action", "get_status"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, BANNER + "Version 1.3.0\n");
}

TEST(Cli, EchoLinesInOrder) {
    tool_run r = run_tool({"--action", "write_file_flashfs", "--ip", "10.0.0.5", "--backupfileout=/tmp/x",
                           "--backupfileouttype", "zip", "--backupfilein", "in.zip", "--firmwarefile", "fw.bin"});
    EXPECT_EQ(r.out, BANNER + "ACTION=write_file_flashfs\nIP=10.0.0.5\nBackupFileOut/tmp/x\nBackupFileOutTypezip\n"
                              "BackupFileInin.zip\nFIRMWAREFILE=fw.bin\n"
                              "optAction=write_file_flashfs\noptIP=10.0.0.5\noptBackupFileOut=/tmp/x\n"
                              "optBackupFileOutType=zip\n");
    // A recognised action without an operation does nothing, so it does not report success.
    EXPECT_EQ(r.status, 1);
}

TEST(Cli, LaterValuesReplaceEarlierOnes) {
    tool_run r = run_tool({"--ip", "1.1.1.1", "--ip", "2.2.2.2"});
    EXPECT_EQ(r.out, BANNER + "IP=1.1.1.1\nIP=2.2.2.2\noptIP=2.2.2.2\n");
}

TEST(Cli, UniqueAndAmbiguousPrefixes) {
    tool_run unique = run_tool({"--act", "nothing"});
    EXPECT_EQ(unique.out, BANNER + "ACTION=nothing\noptAction=nothing\n\nAction 'nothing' not defined.\n");
    EXPECT_EQ(unique.status, 2);

    for (const char* ambiguous : {"--verb", "--backupfile=x", "--ch=1"}) {
        tool_run r = run_tool({ambiguous});
        EXPECT_EQ(r.out, BANNER + "?? getopt returned character code 077 ??\n") << ambiguous;
        EXPECT_NE(r.err.find("ambiguous"), std::string::npos) << ambiguous;
        EXPECT_EQ(r.status, 0) << ambiguous;
    }
}

TEST(Cli, OptionsWithoutCodesAndUnknownOptions) {
    tool_run r = run_tool({"--verbose", "--delete", "x", "--file=f.txt", "--create", "3", "-b", "-d", "v", "--bogus"});
    EXPECT_EQ(r.out, BANNER + "option verbose\n" + "option delete with arg x\n" + "option file with arg f.txt\n" +
                         "CHANNEL=3\n" + "?? getopt returned character code 0142 ??\n" +
                         "?? getopt returned character code 0144 ??\n" +
                         "?? getopt returned character code 077 ??\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, MissingOptionValue) {
    tool_run r = run_tool({"--ip"});
    EXPECT_EQ(r.out, BANNER + "?? getopt returned character code 077 ??\n");
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos);
}

TEST(Cli, DigitRule) {
    EXPECT_EQ(run_tool({"-1", "-2"}).out,
              BANNER + "option 1\ndigits occur in two different argv-elements.\noption 2\n");
    EXPECT_EQ(run_tool({"-12"}).out, BANNER + "option 1\noption 2\n");
    EXPECT_EQ(run_tool({"-0", "-0"}).out,
              BANNER + "option 0\ndigits occur in two different argv-elements.\noption 0\n");
}

TEST(Cli, ShortActionWithoutValueStoresNothing) {
    tool_run r = run_tool({"-a"});
    EXPECT_EQ(r.out, BANNER + "ACTION=\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Cli, NonOptionArgumentsArePermutedUnlessPosixlyCorrect) {
    tool_run permuted = run_tool({"extra", "--ip", "h"});
    EXPECT_EQ(permuted.out, BANNER + "IP=h\nnon-option ARGV-elements: extra \noptIP=h\n");
    tool_run posix = run_tool({"extra", "--ip", "h"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(posix.out, BANNER + "non-option ARGV-elements: extra --ip h \n");
    tool_run dashes = run_tool({"--", "--ip", "h"});
    EXPECT_EQ(dashes.out, BANNER + "non-option ARGV-elements: --ip h \n");
}

TEST(Cli, ListOptionsAreJsonValues) {
    // The channel list shows through --channel's echo only; the string lists
    // echo their raw value and "optarg=#...#" without a line end.
    tool_run r = run_tool({"--channelcsvfile", "a.csv", "--channelgroupscsvfile", "[\"g.csv\"]", "-c", "[1,4]"});
    EXPECT_EQ(r.out, BANNER + "CHANNELCSVFILE=a.csv\noptarg=#a.csv#" + "CHANNELGROUPSCSVFILE=[\"g.csv\"]\n" +
                         "optarg=#[\"g.csv\"]#" + "CHANNEL=[1,4]\n");
}

TEST(Cli, UnknownActionIsAUsageError) {
    tool_run r = run_tool({"--action", "Get_Status", "--ip", "10.0.0.5"});
    EXPECT_EQ(r.out, BANNER + "ACTION=Get_Status\nIP=10.0.0.5\noptAction=Get_Status\noptIP=10.0.0.5\n\n"
                              "Action 'Get_Status' not defined.\n");
    EXPECT_EQ(r.status, 2);
}

}  // namespace

#include "main/cli.h"

namespace {

TEST(CliLists, ChannelValues) {
    struct Case {
        const char* text;
        std::optional<std::vector<std::uint32_t>> expected;
    };
    const Case cases[] = {
        {"2", std::vector<std::uint32_t>{2}},
        {"[1,4]", std::vector<std::uint32_t>{1, 4}},
        {"[\"3\"]", std::vector<std::uint32_t>{3}},
        {"1,2", std::vector<std::uint32_t>{1}},           // the first value only
        {"0", std::vector<std::uint32_t>{0}},             // a list that reads as empty
        {"2.9", std::vector<std::uint32_t>{2}},
        {"-1.5", std::vector<std::uint32_t>{0xFFFFFFFFu}},
        {"1e300", std::vector<std::uint32_t>{0x7FFFFFFFu}},  // saturated, not undefined
        {"[1,[2],3]", std::vector<std::uint32_t>{1, 2}},  // the first array end ends the list
        {"[1,true,null,{\"x\":\"7\"},2]", std::vector<std::uint32_t>{1, 0, 7, 2}},  // member names count
        {"[1,2,", std::vector<std::uint32_t>{1, 2}},      // a parse error keeps what came before
        {"abc", std::nullopt},
        {"[]", std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<std::vector<std::uint32_t>> list;
        fill_channels(c.text, list);
        EXPECT_EQ(list, c.expected) << c.text;
    }
}

TEST(CliLists, LaterOccurrencesReplaceOnlyWhenTheyYieldValues) {
    std::optional<std::vector<std::string>> list;
    fill_strings("[\"a.csv\",\"b.csv\",\"c.csv\"]", list);
    fill_strings("\"d.csv\"", list);
    EXPECT_EQ(list, (std::vector<std::string>{"d.csv"}));
    fill_strings("bare.csv", list);  // not JSON: no value, the list stays
    EXPECT_EQ(list, (std::vector<std::string>{"d.csv"}));
}

TEST(CliLists, StringValues) {
    std::optional<std::vector<std::string>> list;
    fill_strings("[\"C:\\\\dir\\\\a.csv\", 5, \"x\\u00e9\"]", list);
    EXPECT_EQ(list, (std::vector<std::string>{"C:\\dir\\a.csv", "x\xc3\xa9"}));  // numbers are ignored
    std::optional<std::vector<std::string>> bad;
    fill_strings("\"C:\\dir\"", bad);  // an invalid escape is a parse error
    EXPECT_EQ(bad, std::nullopt);
}

}  // namespace
