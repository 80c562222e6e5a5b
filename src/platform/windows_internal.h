// Shared by the Windows side of the platform layer (platform_windows.cpp and
// log_window_windows.cpp) and by nothing else.
#pragma once

#include <string>

#include <windows.h>

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
inline std::wstring platform_widen(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
    wide.pop_back();  // the terminator
    return wide;
}

inline std::string platform_narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

// Exit statuses of a run that the user or the system ended early, as the
// POSIX build reports them (128 + the signal number).
constexpr int PLATFORM_STATUS_INTERRUPTED = 128 + 2;  // Ctrl-C, Ctrl-Break (SIGINT)
constexpr int PLATFORM_STATUS_HANGUP = 128 + 1;       // the console or the log window closed (SIGHUP)
constexpr int PLATFORM_STATUS_TERMINATED = 128 + 15;  // logoff, shutdown (SIGTERM)

// Runs the cleanup that platform_on_interrupt registered, puts the console
// back as it was and ends the process at once with `status`; never returns.
[[noreturn]] void platform_end_interrupted(int status);
// Puts the console's code page and modes back as they were at the start.
void platform_restore_console();

// The Windows process entry after the console and the arguments are ready:
// shows the log window and runs `run` on a worker thread, or runs it right
// here when there is no desktop to show a window on.
int platform_log_window_main(int argc, char** argv, int (*run)(int, char**));
