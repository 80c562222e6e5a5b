#include "window/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

namespace {

TEST(WindowLine, PrefixAndLineEndRule) {
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 6, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7;
    const std::string s509(509, 'x'), s510(510, 'x'), s511(511, 'x');
    const struct {
        std::string text;
        std::string body;  // what follows the prefix
    } cases[] = {
        {"abc", "abc\r\n"},     {"", "\r\n"},  // an empty message still ends its line
        {"abc\r\n", "abc\r\n"},                // already ended: nothing added
        {"abc\n", "abc\n"},     {"abc\r", "abc\r"},
        {s509, s509 + "\r\n"},                                  // the longest text that still gets a line end
        {s510, s510},           {std::string(600, 'x'), s511},  // cut to 511 characters, no line end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(window_format_line(t, 42, c.text.c_str()), "2026-12-06 09:05:07.042 " + c.body)
            << "text length " << c.text.size();
    }
}

TEST(LogOutput, ConsoleGetsCrlfCaptureGetsLf) {
    const std::string long_text(1500, 'y');
    testing::internal::CaptureStdout();
    log_capture_begin();
    log_printf("dropped");  // by the capture when it starts again
    log_capture_begin();
    log_printf_color(COLOR_RED, "abc");
    log_printf("n=%d", 5);
    log_printf("done\r\n");               // its own line end gives an empty console line
    console_printf("plain %s|", "text");  // not captured
    log_printf("%s", long_text.c_str());  // no line is cut
    console_printf("%s|", long_text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "dropped\r\nabc\r\nn=5\r\ndone\r\n\r\nplain text|" + long_text + "\r\n" + long_text + "|");
    const std::string captured = "abc\nn=5\ndone\r\n\n" + long_text + "\n";
    EXPECT_STREQ(log_capture_text(), captured.c_str());
    log_capture_end();
}

// Everything the bar drew on its stream so far.
std::string drawn(std::FILE* sink) {
    std::rewind(sink);
    std::string text;
    for (int c; (c = std::fgetc(sink)) != EOF;) text += static_cast<char>(c);
    return text;
}

TEST(Progress, RateLimitedAndOutOfTheWayOfConsoleText) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    progress_set_output(sink, true);
    testing::internal::CaptureStdout();
    progress_set(150);
    progress_set(-5);
    for (int percent = 1; percent < 100; ++percent) progress_set(percent);
    console_printf("line\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "line\n");  // nothing of the bar on standard output
    const std::string bar = drawn(sink);
    EXPECT_NE(bar.find("100%"), std::string::npos);
    EXPECT_NE(bar.find("  0%"), std::string::npos);
    EXPECT_LT(std::count(bar.begin(), bar.end(), '%'), 10);  // a few draws per second at most
    EXPECT_NE(bar.find("\r\033[K"), std::string::npos);      // cleared for the console line
    EXPECT_TRUE(bar.ends_with(" 99%")) << bar;               // and drawn again with the latest value

    // With standard output on the same terminal, the bar waits for the end
    // of a console line instead of overwriting it.
    progress_set_output(sink, true, true);
    testing::internal::CaptureStdout();
    console_printf("[INFO] no line end yet");
    progress_set(40);
    EXPECT_EQ(drawn(sink), bar);
    console_printf("\n");
    progress_set(60);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(drawn(sink).ends_with(" 60%"));
    progress_set_output(nullptr, false);
    std::fclose(sink);
}

TEST(Progress, TextTakesTheBarsPlaceUntilTheNextPercentage) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    progress_set_output(sink, true);
    testing::internal::CaptureStdout();
    progress_set(30);
    progress_text("Waiting... 4 s");
    console_printf("status\n");
    // Cleared for the console line and drawn again as text, not as the bar.
    EXPECT_TRUE(drawn(sink).ends_with("\rWaiting... 4 s\033[K\r\033[K\rWaiting... 4 s\033[K")) << drawn(sink);
    progress_set(30);  // the percentage from before the text still brings the bar back at once
    EXPECT_TRUE(drawn(sink).ends_with(" 30%"));
    progress_text("Waiting... 6 s");
    progress_hide();
    console_printf("done\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "status\ndone\n");
    EXPECT_TRUE(drawn(sink).ends_with("Waiting... 6 s\033[K\r\033[K"));  // taken off, not restored after "done"
    progress_set_output(nullptr, false);
    std::fclose(sink);
}

}  // namespace
