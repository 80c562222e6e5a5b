#include "window/window.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::tm sample_time() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;  // December
    t.tm_mday = 6;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    return t;
}

const std::string PREFIX = "2026-12-06 09:05:07.042 ";

TEST(WindowLine, PrefixAndLineEndRule) {
    struct Case {
        std::string text;
        std::string expected_body;
    };
    const std::string s509(509, 'x'), s510(510, 'x'), s511(511, 'x'), s600(600, 'x');
    const Case cases[] = {
        {"abc", "abc\r\n"},
        {"", "\r\n"},                  // an empty message still ends its line
        {"abc\r\n", "abc\r\n"},        // already ended: nothing added
        {"abc\n", "abc\n"},
        {"abc\r", "abc\r"},
        {s509, s509 + "\r\n"},         // the longest text that still gets a line end
        {s510, s510},                  // 510 and 511 stay without a line end
        {s511, s511},
        {s600, s511},                  // cut to 511 characters, no line end
    };
    for (const Case& c : cases) {
        std::string line = window_format_line(sample_time(), 42, c.text.c_str());
        EXPECT_EQ(line, PREFIX + c.expected_body) << "text length " << c.text.size();
    }
}

TEST(WindowLine, PrefixIsTwentyFourCharacters) {
    EXPECT_EQ(window_format_line(sample_time(), 999, "").substr(0, 24), "2026-12-06 09:05:07.999 ");
}

class LogOutput : public ::testing::Test {
protected:
    void SetUp() override { progress_set_output(nullptr, false); }
    void TearDown() override { log_capture_end(); }
};

TEST_F(LogOutput, ConsoleGetsCrlfCaptureGetsLf) {
    log_capture_begin();
    testing::internal::CaptureStdout();
    log_printf_color(COLOR_RED, "abc");
    log_printf("n=%d", 5);
    console_printf("plain %s", "text");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "abc\r\nn=5\r\nplain text");
    ASSERT_NE(log_capture_text(), nullptr);
    EXPECT_EQ(std::string(log_capture_text()), "abc\nn=5\n");  // console_printf is not captured
    EXPECT_EQ(log_capture_length(), 8u);
}

TEST_F(LogOutput, MessageEndingInCrlfGivesAnEmptyConsoleLine) {
    testing::internal::CaptureStdout();
    log_printf_color(COLOR_GREEN, "done\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "done\r\n\r\n");
}

TEST_F(LogOutput, LongMessagesAreCutTo1023Characters) {
    log_capture_begin();
    std::string long_text(1500, 'y');
    testing::internal::CaptureStdout();
    log_printf("%s", long_text.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(1023, 'y') + "\r\n");
    EXPECT_EQ(log_capture_length(), 1024u);
    // console_printf itself has no limit.
    testing::internal::CaptureStdout();
    console_printf("%s", long_text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), long_text);
}

TEST_F(LogOutput, CaptureOffAndRestart) {
    testing::internal::CaptureStdout();
    log_printf("not captured");
    EXPECT_EQ(log_capture_text(), nullptr);
    EXPECT_EQ(log_capture_length(), 0u);
    log_capture_begin();
    log_printf("first");
    log_capture_begin();  // drops the earlier capture
    log_printf("second");
    EXPECT_EQ(std::string(log_capture_text()), "second\n");
    log_capture_end();
    EXPECT_EQ(log_capture_text(), nullptr);
    testing::internal::GetCapturedStdout();
}

TEST_F(LogOutput, ProgressDrawsOnlyOnTheChosenStreamAndClamps) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    progress_set_output(sink, true);
    testing::internal::CaptureStdout();
    progress_set(150);
    progress_set(-5);
    console_printf("line\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "line\n");  // nothing of the bar reaches standard output
    std::rewind(sink);
    std::string drawn;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) drawn.append(buffer, n);
    std::fclose(sink);
    progress_set_output(nullptr, false);
    EXPECT_NE(drawn.find("100%"), std::string::npos);
    EXPECT_NE(drawn.find("  0%"), std::string::npos);
    EXPECT_EQ(drawn.find("150"), std::string::npos);
    EXPECT_NE(drawn.find("\r\033[K"), std::string::npos);  // cleared around console output
}

TEST_F(LogOutput, ProgressWaitsForTheEndOfAConsoleLine) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    progress_set_output(sink, true, true);
    testing::internal::CaptureStdout();
    console_printf("[INFO] no line end yet");
    progress_set(40);  // would overwrite the text above: not drawn
    long before = std::ftell(sink);
    console_printf("\n");
    progress_set(60);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(before, 0);
    EXPECT_GT(std::ftell(sink), 0);
    std::fclose(sink);
    progress_set_output(nullptr, false);
}

TEST_F(LogOutput, ProgressIsSilentWhenDisabled) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    progress_set(50);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
