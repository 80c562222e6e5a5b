#include "window/window.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// Log capture: the bare messages of log_printf/log_printf_color, each
// followed by LF, while the capture is on.
bool capture_on = false;
std::string capture;

// Where console text goes (standard output unless a run keeps standard
// output for its result document), whether colour escapes are taken out of
// it, and who hears of the run's error, warning and info messages.
std::FILE* console_stream = nullptr;
bool no_color = false;
message_sink_fn message_sink = nullptr;
void* message_context = nullptr;

std::FILE* console_out() { return console_stream ? console_stream : stdout; }

// Progress bar state. The bar is drawn on `bar_stream` only when enabled;
// `bar_visible` says whether a bar line is on the screen now.
std::FILE* bar_stream = nullptr;
bool bar_enabled = false;
bool bar_checked = false;
bool bar_visible = false;
int bar_percent = -1;
// A text shown on the bar's line instead of the bar, while not empty.
std::string bar_text;
std::chrono::steady_clock::time_point bar_last_draw;
// Whether the terminal's cursor stands after text that has no line end yet:
// a bar drawn there would overwrite that text, so it waits for the line end.
bool stdout_on_terminal = false;
bool mid_line = false;
constexpr auto BAR_MIN_INTERVAL = std::chrono::milliseconds(200);

// Clears the bar line before other text is written; returns whether it
// should be drawn again afterwards.
// The bar is 47 characters wide; without escapes it is cleared with blanks.
constexpr int BAR_LINE = 47;

bool bar_hide() {
    if (!bar_visible) return false;
    if (no_color) {
        std::fprintf(bar_stream, "\r%*s\r", BAR_LINE, "");
    } else {
        std::fputs("\r\033[K", bar_stream);
    }
    std::fflush(bar_stream);
    bar_visible = false;
    return true;
}

// The bar is only a view of the running job: it leaves no line behind.
void bar_clear_at_exit() { bar_hide(); }

}  // namespace

bool stderr_is_terminal() { return platform_is_terminal(stderr); }

namespace {

void bar_init() {
    if (bar_checked) return;
    bar_checked = true;
    std::atexit(bar_clear_at_exit);
    bar_stream = stderr;
    bar_enabled = stderr_is_terminal();
    stdout_on_terminal = platform_is_terminal(stdout);
}

bool bar_may_draw() { return bar_enabled && !((stdout_on_terminal || console_out() == bar_stream) && mid_line); }

void bar_draw() {
    if (!bar_text.empty()) {
        if (no_color) {
            std::fprintf(bar_stream, "\r%-*s", BAR_LINE, bar_text.c_str());
        } else {
            std::fprintf(bar_stream, "\r%s\033[K", bar_text.c_str());
        }
        std::fflush(bar_stream);
        bar_visible = true;
        return;
    }
    constexpr int width = 40;
    int filled = bar_percent * width / 100;
    char line[width + 16];
    int n = 0;
    line[n++] = '\r';
    line[n++] = '[';
    for (int i = 0; i < width; ++i) line[n++] = i < filled ? '#' : ' ';
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "] %3d%%", bar_percent);
    std::fwrite(line, 1, static_cast<std::size_t>(n), bar_stream);
    std::fflush(bar_stream);
    bar_visible = true;
    bar_last_draw = std::chrono::steady_clock::now();
}

void bar_restore(bool was_visible) {
    if (was_visible && bar_may_draw()) bar_draw();
}

// Text without its colour escapes (ESC '[' parameters 'm').
std::string without_colours(const char* text, std::size_t n) {
    std::string plain;
    plain.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] == '\033' && i + 1 < n && text[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < n && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) ++j;
            if (j < n && text[j] == 'm') {
                i = j;
                continue;
            }
        }
        plain.push_back(text[i]);
    }
    return plain;
}

void write_out(std::FILE* out, const char* text, std::size_t n) {
    bar_init();
    std::string plain;
    if (no_color && std::memchr(text, '\033', n)) {
        plain = without_colours(text, n);
        text = plain.data();
        n = plain.size();
    }
    bool was_visible = bar_hide();
    std::fwrite(text, 1, n, out);
    std::fflush(out);
    if (n > 0 && (out == console_out() || stdout_on_terminal)) mid_line = text[n - 1] != '\n';
    bar_restore(was_visible);
}

void vwrite(std::FILE* out, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[1024];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        write_out(out, small, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    write_out(out, big.data(), static_cast<std::size_t>(n));
}

void capture_append(const char* message) {
    if (!capture_on) return;
    try {
        capture.append(message);
        capture.push_back('\n');
    } catch (const std::bad_alloc&) {
        // The message is missing from the capture only.
    }
}

// Formats a log message, whatever its length (a path may be long, and a
// line that names an archive must name all of it), and sends it to the
// console, the log window (where there is one, cut to its line length
// there) and the capture. A plain log_printf line reaches the window with
// CRLF already behind it (so a message that ends in its own line end leaves
// an empty line there); a coloured one gets its line end from
// window_format_line.
void note(message_level level, const std::string& text) {
    if (message_sink && level != message_level::unreported)
        message_sink(level, no_color ? text : without_colours(text.data(), text.size()), message_context);
}

void log_message(std::uint32_t color, bool plain, message_level level, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) + 1 : 1, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const char* message = text.c_str();
    console_printf("%s\r\n", message);
    if (platform_log_window_shown()) {
        std::tm local{};
        int milliseconds = 0;
        platform_local_time_now(&local, &milliseconds);
        const std::string text = plain ? std::string(message) + "\r\n" : std::string(message);
        platform_log_window_line(color, window_format_line(local, milliseconds, text.c_str()));
    }
    capture_append(message);
    if (color == COLOR_RED || color == COLOR_ORANGE || level == message_level::info) note(level, text);
}

message_level level_of(std::uint32_t color) {
    return color == COLOR_ORANGE ? message_level::warning : message_level::error;
}

}  // namespace

void console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(console_out(), format, args);
    va_end(args);
}

void console_write(const char* bytes, std::size_t n) { write_out(console_out(), bytes, n); }

void console_to_stderr(bool on) {
    std::fflush(stdout);
    console_stream = on ? stderr : nullptr;
}

void output_without_colours(bool on) { no_color = on; }

void log_set_message_sink(message_sink_fn sink, void* context) {
    message_sink = sink;
    message_context = context;
}

void message_note(message_level level, const std::string& text) { note(level, text); }

void error_printf(const char* format, ...) {
    std::fflush(console_out());
    va_list args;
    va_start(args, format);
    vwrite(stderr, format, args);
    va_end(args);
}

void log_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_message(COLOR_BLACK, true, message_level::unreported, format, args);
    va_end(args);
}

void log_printf_color(std::uint32_t color, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_message(color, false, level_of(color), format, args);
    va_end(args);
}

void log_printf_info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_message(COLOR_BLACK, true, message_level::info, format, args);
    va_end(args);
}

void log_printf_color_as(message_level level, std::uint32_t color, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_message(color, false, level, format, args);
    va_end(args);
}

void progress_set(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    platform_log_window_progress(percent);
    bar_init();
    bar_text.clear();
    if (!bar_may_draw() || percent == bar_percent) return;
    // Transfers report progress tens of thousands of times; redraw only on
    // a changed percentage and at most a few times per second, but always
    // show the start and the end.
    bool edge = percent == 0 || percent == 100;
    bar_percent = percent;
    if (!edge && bar_visible && std::chrono::steady_clock::now() - bar_last_draw < BAR_MIN_INTERVAL) return;
    bar_draw();
}

void progress_hide() {
    bar_init();
    bar_hide();
    bar_percent = -1;
    bar_text.clear();
}

void progress_text(const char* text) {
    bar_init();
    bar_percent = -1;
    bar_last_draw = {};  // the next percentage replaces the text at once
    bar_text = text ? text : "";
    if (bar_text.empty()) {
        bar_hide();
    } else if (bar_may_draw()) {
        bar_draw();
    }
}

void progress_set_output(std::FILE* stream, bool enabled, bool stdout_is_terminal) {
    bar_checked = true;
    bar_stream = stream;
    bar_enabled = enabled && stream != nullptr;
    stdout_on_terminal = stdout_is_terminal;
    mid_line = false;
    bar_visible = false;
    bar_percent = -1;
    bar_text.clear();
}

void log_capture_begin() {
    capture.clear();
    capture.shrink_to_fit();
    capture_on = true;
}

void log_capture_end() {
    capture_on = false;
    capture.clear();
    capture.shrink_to_fit();
}

const char* log_capture_text() { return capture_on && !capture.empty() ? capture.c_str() : nullptr; }

std::size_t log_capture_length() { return capture_on ? capture.size() : 0; }

std::string shown_name(std::string_view name) {
    std::string shown;
    shown.reserve(name.size());
    for (unsigned char c : name) {
        if (c >= 0x20 && c != 0x7f) {
            shown += static_cast<char>(c);
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        }
    }
    return shown;
}

std::string window_format_line(const std::tm& local, int milliseconds, const char* text) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
    std::string body(text ? text : "");
    if (body.size() > 511) body.resize(511);
    std::size_t n = body.size();
    bool ends_in_break = n > 0 && (body[n - 1] == '\r' || body[n - 1] == '\n');
    if (n == 0 || (!ends_in_break && n <= 509)) body += "\r\n";
    std::string line = std::string(prefix) + body;
    if (line.size() > 599) line.resize(599);
    return line;
}
