// Output of the tool: console text, log lines, the progress bar and the log
// capture that get_backup stores as "log.txt".
//
// console_printf writes to standard output only. log_printf and
// log_printf_color format the message (whatever its length), write it to
// standard output followed by CRLF, hand it to the log view and, while the
// capture is on, append it to the capture followed by LF.
//
// Where the platform has a log window (the Windows build, with a desktop),
// log lines also go there, timestamped and coloured, newest first, and
// progress_set moves its progress bar. The progress bar of the console is
// drawn on standard error when standard error is a terminal, and cleared
// while other text is written so that the two never mix on one line; it
// prints nothing on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Colours are 0x00BBGGRR values, as the log view of a windowed build uses.
constexpr std::uint32_t COLOR_BLACK = 0x000000;
constexpr std::uint32_t COLOR_RED = 0x0000FF;
constexpr std::uint32_t COLOR_ORANGE = 0x0080FF;
constexpr std::uint32_t COLOR_GREEN = 0x008000;

// mingw-w64's C99 printf (which C++ uses there) is checked as gnu_printf.
#ifdef __MINGW_PRINTF_FORMAT
#define ORNAT_PRINTF(fmt_index, first_arg) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt_index, first_arg)))
#else
#define ORNAT_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

void console_printf(const char* format, ...) ORNAT_PRINTF(1, 2);
// Bytes on the console as they are (a controller's answer).
void console_write(const char* bytes, std::size_t n);
// Standard error, for libcurl failures and parser diagnostics.
void error_printf(const char* format, ...) ORNAT_PRINTF(1, 2);
void log_printf(const char* format, ...) ORNAT_PRINTF(1, 2);
void log_printf_color(std::uint32_t color, const char* format, ...) ORNAT_PRINTF(2, 3);
void progress_set(int percent);
// Takes the bar off the screen until the next progress_set, for a transfer
// that draws libcurl's own meter on standard error.
void progress_hide();
// Shows a text on the bar's line instead of the bar (a wait that has no
// percentage), drawn, cleared and restored around other text as the bar is;
// an empty text takes it off. The next progress_set draws the bar again.
void progress_text(const char* text);

// A name from outside (an archive member, a path, a tar member) as the tool
// prints it: control characters (below 0x20, and 0x7f) as escapes ("\n",
// "\r", "\t", "\x1b"), so that a name can neither start a line of its own
// nor steer the terminal.
std::string shown_name(std::string_view name);

// Whether standard error is a terminal: libcurl's own progress meter is
// shown there only then.
bool stderr_is_terminal();

// The messages a run reports beside its output: its red lines are errors,
// its orange lines warnings, and a few lines (such as "nothing to change")
// info. A red line that reports something normal (a configuration set the
// controller does not have) is logged with `unreported`: the run's result
// counts such things instead.
enum class message_level { error, warning, info, unreported };
using message_sink_fn = void (*)(message_level level, const std::string& text, void* context);
// The sink hears of every red and orange log line (without colour escapes),
// and of the notes below; null: nobody.
void log_set_message_sink(message_sink_fn sink, void* context);
void log_printf_color_as(message_level level, std::uint32_t color, const char* format, ...) ORNAT_PRINTF(3, 4);
// log_printf, and the sink hears of it as info.
void log_printf_info(const char* format, ...) ORNAT_PRINTF(1, 2);
// A message for the sink only, about something already shown otherwise
// (a usage error on the console or from the option reader).
void message_note(message_level level, const std::string& text);

// Console text goes to standard error instead of standard output (a run
// whose standard output carries its result document).
void console_to_stderr(bool on);
// Takes every colour escape out of what the tool writes (NO_COLOR).
void output_without_colours(bool on);

void log_capture_begin();
void log_capture_end();
// The captured messages, each followed by LF; null while the capture is off
// or empty.
const char* log_capture_text();
std::size_t log_capture_length();

// One line of the log view: the local-time prefix
// "YYYY-MM-DD hh:mm:ss.mmm " and the text (cut to 511 characters), with
// "\r\n" added when the text is empty, or when it ends in neither CR nor LF
// and is at most 509 characters long. The whole line is cut to 599
// characters.
std::string window_format_line(const std::tm& local, int milliseconds, const char* text);

// Progress is drawn at most a few times per second, and never after console
// text that has no line end yet when standard output shares the terminal.
// Tests turn drawing on and off, point it at a stream of their choice and
// say whether standard output counts as a terminal.
void progress_set_output(std::FILE* stream, bool enabled, bool stdout_is_terminal = false);
