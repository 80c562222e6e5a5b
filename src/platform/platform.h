// The platform layer: every call into the operating system that differs
// between POSIX and Windows goes through these functions, so that no other
// source file includes a system header of either kind.
//
// platform_posix.cpp implements them with POSIX calls, platform_windows.cpp
// with Win32 calls (and log_window_windows.cpp adds the log window there);
// the build compiles the pair of its target.
//
// Text is UTF-8 on both sides: paths, environment values and the arguments
// of the command line. The Windows side converts to and from UTF-16 at the
// system calls, so that a file under "dír-ü" opens on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
constexpr bool PLATFORM_WINDOWS = true;
// The separator of the paths the tool builds itself.
constexpr char PLATFORM_PATH_SEPARATOR = '\\';
#else
constexpr bool PLATFORM_WINDOWS = false;
constexpr char PLATFORM_PATH_SEPARATOR = '/';
#endif

// ---- Paths ---------------------------------------------------------------

// Whether `c` separates folders in a path the user gave: '/' everywhere,
// and '\\' too on Windows.
bool platform_is_separator(char c);
// The position of the last separator of `path`, std::string::npos if none.
std::size_t platform_last_separator(const std::string& path);
// `folder` and `name` joined by PLATFORM_PATH_SEPARATOR, unless the folder
// already ends in a separator; just `name` for an empty folder.
std::string platform_join_path(const std::string& folder, const std::string& name);

// std::filesystem paths from and to UTF-8 text. (Their narrow forms use the
// ANSI code page on Windows, which cannot hold every name.)
inline std::filesystem::path platform_fs_path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string platform_fs_text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// ---- Files ---------------------------------------------------------------

// std::fopen of a UTF-8 path.
std::FILE* platform_fopen(const char* path, const char* mode);
// Whether anything (a file, a folder, a link, even a dangling one) has the name.
bool platform_path_exists(const char* path);
// Whether `folder` exists and new files can be made in it.
bool platform_folder_writable(const char* folder);
// Makes `path` and any missing parent folders; true when it is a folder
// afterwards.
bool platform_make_folders(const std::string& path);
// Removes a file; true when it is gone.
bool platform_remove_file(const char* path);
// The size of an open file in bytes, -1 when unknown.
std::int64_t platform_file_size(std::FILE* file);

// Creates a new, empty file named `prefix` and a unique suffix, opened for
// binary writing, with the permissions a new file of the user gets. Null
// (and `name` empty) when no such file can be made.
std::FILE* platform_create_temp_file(const std::string& prefix, std::string* name);
// Flushes the stream and the system's cache of the file to the disk.
bool platform_sync_file(std::FILE* file);
// Renames `from` to `to`, replacing a file of that name, with the rename
// itself on the disk when it returns true.
bool platform_rename_replacing(const char* from, const char* to);

enum : int { PLATFORM_RENAMED = 0, PLATFORM_NAME_TAKEN = 1, PLATFORM_RENAME_FAILED = -1 };
// Renames `from` to `to` only while nothing has the name `to`, as one step:
// of two processes racing for a name, one gets it and the other
// PLATFORM_NAME_TAKEN.
int platform_rename_no_replace(const char* from, const char* to);

// ---- Advisory file locks (one per controller address) ----------------------

// The folder for lock files: the first of $XDG_RUNTIME_DIR and $TMPDIR that
// names a folder, else /tmp on POSIX; the user's temporary folder on Windows.
std::string platform_lock_folder();
// Opens (creating if needed) a lock file; a descriptor, or -1 with errno set.
int platform_lock_open(const std::string& path);
enum : int { PLATFORM_LOCK_TAKEN = 0, PLATFORM_LOCK_BUSY = 1, PLATFORM_LOCK_ERROR = -1 };
// Tries once to take the exclusive lock of an open lock file.
int platform_lock_try(int fd);
// Closes the lock file, which ends its lock.
void platform_lock_close(int fd);

// ---- Names -------------------------------------------------------------------

// The numeric addresses (IPv4 and IPv6) that a host name or address
// resolves to, without duplicates; none when it resolves to nothing.
std::vector<std::string> platform_resolve_host(const std::string& host);

// ---- Environment, time, memory -------------------------------------------

// A variable of the process environment; none when it is unset or empty.
std::optional<std::string> platform_getenv(const char* name);
// The local time of `when`; false when it cannot be had.
bool platform_local_time(std::time_t when, std::tm* local);
// The local time now, with its milliseconds.
void platform_local_time_now(std::tm* local, int* milliseconds);
void platform_sleep_ms(unsigned milliseconds);
// The Downloads folder that the system's shell names (Windows), none on
// POSIX or when the shell cannot say.
std::optional<std::string> platform_known_download_dir();
// Asks for huge pages behind the 2 MiB-aligned part of a large buffer that
// is filled once and read straight through; a hint, never a failure.
void platform_advise_huge_pages(const void* data, std::size_t size);

// ---- Console, interruption and the process ---------------------------------

// Writes bytes to standard output past the C library's buffers, also from
// a signal handler.
void platform_write_stdout(const char* bytes, std::size_t n);
// Milliseconds of a steady clock, also from a signal handler.
std::uint64_t platform_monotonic_ms();

// Whether the stream is an interactive terminal (a console window on
// Windows; the NUL device is not one).
bool platform_is_terminal(std::FILE* stream);

// Installs the handlers of the ways a run is ended early: SIGINT, SIGTERM
// and SIGHUP on POSIX (a signal ignored at the start stays ignored);
// Ctrl-C, Ctrl-Break, closing the console, logoff and shutdown on Windows,
// and closing the log window while the run goes on. Each runs `cleanup`
// once with the exit status, then ends the process with that status: 128 +
// the number of the POSIX signal of its kind, 130 for an interrupt (Ctrl-C),
// 129 for a closed console or window (SIGHUP), 143 for SIGTERM, logoff and
// shutdown. `cleanup` may run in a signal handler (POSIX) or on another
// thread while the run is busy (Windows): it may only remove files whose
// names it holds ready and write bytes it holds ready
// (platform_write_stdout).
void platform_on_interrupt(void (*cleanup)(int status));
// Holds those handlers off from the first call to the second (no nesting),
// so that `cleanup` never runs between the creation of a file and the
// moment its name is kept for it.
void platform_interrupts_hold();
void platform_interrupts_release();

// The process entry: prepares the console, takes the command line (on
// Windows as UTF-8 from the wide command line, ignoring argc/argv), shows
// the log window where there is one, runs `run` and returns the exit status
// that `run` returned.
int platform_main(int argc, char** argv, int (*run)(int argc, char** argv));

// ---- The command line ------------------------------------------------------

// One long option of the command line (the layout of getopt_long's table):
// `name` without "--"; `takes_value` whether a value must follow; when `flag`
// is set, the option stores `code` there and the step returns 0, else the
// step returns `code`. A table ends with an entry whose name is null.
struct platform_option {
    const char* name;
    bool takes_value;
    int* flag;
    int code;
};

// One step of the GNU option reader over argv (options and other arguments
// may mix; the others are moved to the end): the option's code, '?' for an
// unknown one or a missing value, -1 when no option is left. `long_index` is
// the entry of `long_options` matched, when a long option was read.
int platform_next_option(int argc, char** argv, const char* short_options, const platform_option* long_options,
                         int* long_index);
// The value of the option the last step read, or null.
const char* platform_option_value();
// The index in argv of the next element to read; after the last step, the
// first argument that is not an option.
int platform_option_index();

// ---- The log window (Windows) ----------------------------------------------

// Whether the log window is up; always false on POSIX and when the window
// could not be created.
bool platform_log_window_shown();
// Puts one finished line (window_format_line) in `color` (0x00BBGGRR) at
// the top of the log window.
void platform_log_window_line(std::uint32_t color, const std::string& line);
// Moves the log window's progress bar to `percent` (0..100).
void platform_log_window_progress(int percent);
// Gives the reader of the log window time for a message that ends the run
// early; nothing happens while no window is shown.
void platform_log_window_pause(unsigned milliseconds);
