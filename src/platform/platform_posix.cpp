// The platform layer over POSIX (Linux): plain byte paths, flock, sigaction.
#include "platform/platform.h"

#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

bool platform_is_separator(char c) { return c == '/'; }

std::size_t platform_last_separator(const std::string& path) { return path.rfind('/'); }

std::string platform_join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + '/' + name;
}

std::FILE* platform_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

bool platform_path_exists(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

bool platform_folder_writable(const char* folder) { return access(folder, W_OK | X_OK) == 0; }

bool platform_make_folders(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool platform_remove_file(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

std::int64_t platform_file_size(std::FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

namespace {

// mkstemp creates the file for its owner only; outputs get the usual
// permissions of a new file instead.
mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

std::FILE* platform_create_temp_file(const std::string& prefix, std::string* name) {
    std::string temp = prefix + "XXXXXX";
    name->clear();
    int fd = mkstemp(temp.data());
    if (fd < 0) return nullptr;
    fchmod(fd, 0666 & ~current_umask());
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        close(fd);
        unlink(temp.c_str());
        return nullptr;
    }
    *name = std::move(temp);
    return file;
}

bool platform_sync_file(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool platform_rename_replacing(const char* from, const char* to) { return std::rename(from, to) == 0; }

// A rename that never replaces, or where the file system has none, a hard
// link (which fails on an existing name) and the removal of the old name.
int platform_rename_no_replace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return PLATFORM_RENAMED;
    if (errno == EEXIST) return PLATFORM_NAME_TAKEN;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return PLATFORM_RENAME_FAILED;
    if (link(from, to) != 0) return errno == EEXIST ? PLATFORM_NAME_TAKEN : PLATFORM_RENAME_FAILED;
    unlink(from);
    return PLATFORM_RENAMED;
}

// A runtime folder that is gone, as after a change of user, is passed over.
std::string platform_lock_folder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        std::optional<std::string> value = platform_getenv(name);
        struct stat st {};
        if (value && stat(value->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return *value;
    }
    return "/tmp";
}

// An existing lock file may belong to another user: it is opened for
// reading only, which is all flock needs. A link planted under the name in
// a shared folder is refused (O_NOFOLLOW).
int platform_lock_open(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int platform_lock_try(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return PLATFORM_LOCK_TAKEN;
    return errno == EWOULDBLOCK || errno == EINTR ? PLATFORM_LOCK_BUSY : PLATFORM_LOCK_ERROR;
}

void platform_lock_close(int fd) {
    if (fd >= 0) close(fd);
}

std::vector<std::string> platform_resolve_host(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

std::optional<std::string> platform_getenv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

bool platform_local_time(std::time_t when, std::tm* local) { return localtime_r(&when, local) != nullptr; }

void platform_local_time_now(std::tm* local, int* milliseconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *local = std::tm{};
    localtime_r(&now.tv_sec, local);
    *milliseconds = static_cast<int>(now.tv_nsec / 1000000);
}

void platform_sleep_ms(unsigned milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

std::optional<std::string> platform_known_download_dir() { return std::nullopt; }

void platform_advise_huge_pages(const void* data, std::size_t size) {
    constexpr std::uintptr_t huge = 2u * 1024 * 1024;
    if (!data || size < 2 * huge) return;
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

bool platform_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void platform_write_stdout(const char* bytes, std::size_t n) {
    while (n > 0) {
        const ssize_t written = write(STDOUT_FILENO, bytes, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        n -= static_cast<std::size_t>(written);
    }
}

std::uint64_t platform_monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

namespace {

void (*interrupt_cleanup)(int status) = nullptr;
constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
sigset_t held_mask_before;

// Only async-signal-safe work: the cleanup (unlink) and _exit.
void end_interrupted(int signal_number) {
    if (interrupt_cleanup) interrupt_cleanup(128 + signal_number);
    _exit(128 + signal_number);
}

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : INTERRUPT_SIGNALS) sigaddset(&set, s);
    return set;
}

}  // namespace

void platform_on_interrupt(void (*cleanup)(int status)) {
    interrupt_cleanup = cleanup;
    for (int s : INTERRUPT_SIGNALS) {
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = end_interrupted;
        action.sa_mask = interrupt_set();
        sigaction(s, &action, nullptr);
    }
}

void platform_interrupts_hold() {
    const sigset_t held = interrupt_set();
    sigprocmask(SIG_BLOCK, &held, &held_mask_before);
}

void platform_interrupts_release() { sigprocmask(SIG_SETMASK, &held_mask_before, nullptr); }

int platform_main(int argc, char** argv, int (*run)(int, char**)) { return run(argc, argv); }

bool platform_log_window_shown() { return false; }
void platform_log_window_line(std::uint32_t, const std::string&) {}
void platform_log_window_progress(int) {}
void platform_log_window_pause(unsigned) {}
