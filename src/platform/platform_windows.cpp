// The platform layer over Win32 (Windows 10 and 11, x86-64). Paths arrive
// as UTF-8 and reach the system as UTF-16 through the wide calls.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <io.h>
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <knownfolders.h>

#include "platform/windows_internal.h"

namespace {

// Keeps the C library's errno meaningful for callers that print
// strerror(errno) after a failed call.
void set_errno_from_last_error() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE: errno = ENOENT; break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: errno = EACCES; break;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
        case ERROR_DISK_FULL: errno = ENOSPC; break;
        case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
        default: errno = EIO; break;
    }
}

HANDLE os_handle(std::FILE* file) {
    return file ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))) : INVALID_HANDLE_VALUE;
}

DWORD attributes(const std::string& path) { return GetFileAttributesW(platform_widen(path.c_str()).c_str()); }

bool is_folder(const std::string& path) {
    const DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A fresh name part for temporary and probe files: six letters and digits.
std::string unique_part() {
    static std::atomic<unsigned long long> counter{0};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    unsigned long long x = static_cast<unsigned long long>(now.QuadPart) ^
                           (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                           (++counter * 0x9E3779B97F4A7C15ull);
    // splitmix64: spreads nearby inputs over the whole range
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string part;
    for (int i = 0; i < 6; ++i) {
        part += alphabet[x % 36];
        x /= 36;
    }
    return part;
}

// The console as the process found it, put back at exit.
UINT saved_output_code_page = 0;
struct saved_mode {
    DWORD handle_id;
    DWORD mode;
    bool saved;
} saved_modes[] = {{STD_OUTPUT_HANDLE, 0, false}, {STD_ERROR_HANDLE, 0, false}};

// Standard output and error carry UTF-8 bytes unchanged: binary mode (text
// mode would turn the tool's own "\r\n" into "\r\r\n"), a UTF-8 console code
// page, and virtual-terminal processing for the ANSI colours some lines
// carry. Failures (no console, an old console) are ignored.
void prepare_console() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    saved_output_code_page = GetConsoleOutputCP();
    if (saved_output_code_page != 0) SetConsoleOutputCP(CP_UTF8);
    for (saved_mode& saved : saved_modes) {
        HANDLE handle = GetStdHandle(saved.handle_id);
        DWORD mode = 0;
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) continue;
        saved.mode = mode;
        saved.saved = true;
        SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    std::atexit(platform_restore_console);
}

// The arguments as UTF-8, from the wide command line (the narrow argv of
// the C runtime is in the ANSI code page and loses other characters).
std::vector<std::string> wide_arguments() {
    std::vector<std::string> args;
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) args.push_back(platform_narrow(wide[i]));
        LocalFree(wide);
    }
    if (args.empty()) args.emplace_back("ornat-cli");
    return args;
}

// ---- interruption ----
void (*interrupt_cleanup)(int status) = nullptr;
SRWLOCK interrupt_lock = SRWLOCK_INIT;
std::atomic<bool> interrupt_started{false};

// Console control events arrive on a thread of their own.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: platform_end_interrupted(PLATFORM_STATUS_INTERRUPTED);
        case CTRL_CLOSE_EVENT: platform_end_interrupted(PLATFORM_STATUS_HANGUP);
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: platform_end_interrupted(PLATFORM_STATUS_TERMINATED);
        default: return FALSE;
    }
}

}  // namespace

void platform_restore_console() {
    for (const saved_mode& saved : saved_modes) {
        if (saved.saved) SetConsoleMode(GetStdHandle(saved.handle_id), saved.mode);
    }
    if (saved_output_code_page != 0) SetConsoleOutputCP(saved_output_code_page);
}

void platform_end_interrupted(int status) {
    // A second event while the first one ends the process waits for that.
    if (interrupt_started.exchange(true)) Sleep(INFINITE);
    AcquireSRWLockExclusive(&interrupt_lock);
    if (interrupt_cleanup) interrupt_cleanup(status);
    platform_restore_console();
    // The worker may be anywhere, holding C runtime locks: end the process
    // without running the exit handlers that would need them.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

void platform_on_interrupt(void (*cleanup)(int status)) {
    interrupt_cleanup = cleanup;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_interrupts_hold() { AcquireSRWLockExclusive(&interrupt_lock); }

void platform_interrupts_release() { ReleaseSRWLockExclusive(&interrupt_lock); }

// ---- paths ----

bool platform_is_separator(char c) { return c == '/' || c == '\\'; }

std::size_t platform_last_separator(const std::string& path) { return path.find_last_of("/\\"); }

std::string platform_join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (platform_is_separator(folder.back())) return folder + name;
    return folder + '\\' + name;
}

// ---- files ----

std::FILE* platform_fopen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    return _wfopen(platform_widen(path).c_str(), platform_widen(mode).c_str());
}

bool platform_path_exists(const char* path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

// The folder must exist, and a file made there (and removed again when its
// handle closes) tells whether the user may write in it: folder permissions
// on Windows are access lists that no attribute shows.
bool platform_folder_writable(const char* folder) {
    std::string name(folder);
    if (!is_folder(name)) return false;
    const std::string probe = platform_join_path(name, ".ornat-probe-" + unique_part());
    HANDLE handle = CreateFileW(platform_widen(probe.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

bool platform_make_folders(const std::string& path) {
    // Each leading part in turn; the drive ("C:") and the server and share
    // of a UNC path cannot be made and fail harmlessly.
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || platform_is_separator(path[i])) {
            const std::string part = path.substr(0, i);
            if (part.back() == ':' || is_folder(part)) continue;
            CreateDirectoryW(platform_widen(part.c_str()).c_str(), nullptr);
        }
    }
    return is_folder(path);
}

bool platform_remove_file(const char* path) {
    if (DeleteFileW(platform_widen(path).c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::int64_t platform_file_size(std::FILE* file) {
    HANDLE handle = os_handle(file);
    LARGE_INTEGER size{};
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        return -1;
    }
    return static_cast<std::int64_t>(size.QuadPart);
}

std::FILE* platform_create_temp_file(const std::string& prefix, std::string* name) {
    name->clear();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + unique_part();
        // Shared for deletion, so that an interrupted run can remove the
        // file while it is still open.
        HANDLE handle =
            CreateFileW(platform_widen(candidate.c_str()).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            set_errno_from_last_error();
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            platform_remove_file(candidate.c_str());
            return nullptr;
        }
        std::FILE* file = _fdopen(fd, "wb");
        if (file == nullptr) {
            _close(fd);
            platform_remove_file(candidate.c_str());
            return nullptr;
        }
        *name = std::move(candidate);
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

bool platform_sync_file(std::FILE* file) { return std::fflush(file) == 0 && FlushFileBuffers(os_handle(file)); }

bool platform_rename_replacing(const char* from, const char* to) {
    if (MoveFileExW(platform_widen(from).c_str(), platform_widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    set_errno_from_last_error();
    return false;
}

// Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name;
// the check and the move are one step of the file system.
int platform_rename_no_replace(const char* from, const char* to) {
    if (MoveFileExW(platform_widen(from).c_str(), platform_widen(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        return PLATFORM_RENAMED;
    }
    const DWORD error = GetLastError();
    set_errno_from_last_error();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PLATFORM_NAME_TAKEN : PLATFORM_RENAME_FAILED;
}

// ---- locks ----

std::string platform_lock_folder() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0 || length > MAX_PATH + 1) return ".";
    std::string folder = platform_narrow(buffer);
    while (folder.size() > 3 && platform_is_separator(folder.back())) folder.pop_back();
    return folder;
}

int platform_lock_open(const std::string& path) {
    HANDLE handle = CreateFileW(platform_widen(path.c_str()).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

// A byte-range lock of the first byte: exclusive against every other
// handle, in this process or another, and ended by closing the handle or
// by the end of the process.
int platform_lock_try(int fd) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return PLATFORM_LOCK_TAKEN;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return PLATFORM_LOCK_BUSY;
    set_errno_from_last_error();
    return PLATFORM_LOCK_ERROR;
}

void platform_lock_close(int fd) {
    if (fd >= 0) _close(fd);
}

// ---- names ----

std::vector<std::string> platform_resolve_host(const std::string& host) {
    std::vector<std::string> addresses;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return addresses;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    ADDRINFOW* found = nullptr;
    if (GetAddrInfoW(platform_widen(host.c_str()).c_str(), nullptr, &hints, &found) == 0) {
        for (const ADDRINFOW* a = found; a; a = a->ai_next) {
            wchar_t text[NI_MAXHOST];
            if (GetNameInfoW(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, NI_MAXHOST, nullptr, 0,
                             NI_NUMERICHOST) != 0)
                continue;
            std::string address = platform_narrow(text);
            bool seen = false;
            for (const std::string& known : addresses) seen = seen || known == address;
            if (!seen) addresses.push_back(address);
        }
        FreeAddrInfoW(found);
    }
    WSACleanup();
    return addresses;
}

// ---- environment, time, memory ----

std::optional<std::string> platform_getenv(const char* name) {
    const std::wstring wide_name = platform_widen(name);
    const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (size <= 1) return std::nullopt;  // unset or empty
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
    if (length == 0 || length >= size) return std::nullopt;
    value.resize(length);
    return platform_narrow(value.c_str());
}

bool platform_local_time(std::time_t when, std::tm* local) {
    const __time64_t at = when;
    return _localtime64_s(local, &at) == 0;
}

void platform_local_time_now(std::tm* local, int* milliseconds) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    *local = std::tm{};
    local->tm_year = now.wYear - 1900;
    local->tm_mon = now.wMonth - 1;
    local->tm_mday = now.wDay;
    local->tm_hour = now.wHour;
    local->tm_min = now.wMinute;
    local->tm_sec = now.wSecond;
    local->tm_wday = now.wDayOfWeek;
    *milliseconds = now.wMilliseconds;
}

void platform_sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

void platform_write_stdout(const char* bytes, std::size_t n) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (n > 0 && out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const DWORD piece = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
        if (!WriteFile(out, bytes, piece, &written, nullptr) || written == 0) return;
        bytes += written;
        n -= written;
    }
}

std::uint64_t platform_monotonic_ms() { return GetTickCount64(); }

std::optional<std::string> platform_known_download_dir() {
    PWSTR path = nullptr;
    std::optional<std::string> found;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &path)) && path != nullptr && *path != L'\0') {
        found = platform_narrow(path);
        if (found->empty()) found.reset();
    }
    CoTaskMemFree(path);
    return found;
}

// Large pages on Windows need a privilege that ordinary users lack; the
// system's own read-ahead has to do.
void platform_advise_huge_pages(const void*, std::size_t) {}

// _isatty is also true for the NUL device; only a console has a console mode.
bool platform_is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    HANDLE handle = os_handle(stream);
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

int platform_main(int, char**, int (*run)(int, char**)) {
    prepare_console();
    // Kept until the process ends: the worker thread reads them.
    static std::vector<std::string> args = wide_arguments();
    static std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return platform_log_window_main(static_cast<int>(args.size()), argv.data(), run);
}
