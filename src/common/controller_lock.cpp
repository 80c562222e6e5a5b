// The per-controller lock over the platform's advisory file locks (flock
// on POSIX, LockFileEx on Windows).
#include "common/controller_lock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "window/window.h"

namespace {

constexpr std::uint32_t POLL_MS = 200;
// A file name stays well below NAME_MAX (255) with the prefix and suffix.
constexpr std::size_t NAME_PART_LIMIT = 200;

std::string wait_text(std::uint32_t ms) {
    char text[48];
    if (ms >= 60000 && ms % 60000 == 0) {
        std::snprintf(text, sizeof text, "%u minutes", ms / 60000);
    } else {
        std::snprintf(text, sizeof text, "%.1f seconds", ms / 1000.0);
    }
    return text;
}

// Takes one lock file, waiting for another holder until `wait_limit_ms`
// have passed since `start`.
int take_one(const char* shown, const std::string& path, std::chrono::steady_clock::time_point start,
             std::uint32_t wait_limit_ms, bool* told, int* fd_out) {
    const int fd = platform_lock_open(path);
    if (fd < 0) {
        log_printf_color(COLOR_RED, "Cannot open the lock file '%s' of %s: %s.", path.c_str(), shown,
                         std::strerror(errno));
        return CONTROLLER_LOCK_FAILED;
    }
    for (;;) {
        const int tried = platform_lock_try(fd);
        if (tried == PLATFORM_LOCK_TAKEN) {
            *fd_out = fd;
            return CONTROLLER_LOCK_TAKEN;
        }
        if (tried == PLATFORM_LOCK_ERROR) {
            log_printf_color(COLOR_RED, "Cannot lock '%s' for %s: %s.", path.c_str(), shown, std::strerror(errno));
            platform_lock_close(fd);
            return CONTROLLER_LOCK_FAILED;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (waited.count() >= wait_limit_ms) {
            log_printf_color(COLOR_RED, "Gave up after %s: another run on %s still holds the controller.",
                             wait_text(wait_limit_ms).c_str(), shown);
            platform_lock_close(fd);
            return CONTROLLER_LOCK_TIMED_OUT;
        }
        if (!*told) {
            log_printf("Waiting for another run on %s...", shown);
            *told = true;
        }
        const auto left = static_cast<std::uint32_t>(wait_limit_ms - waited.count());
        std::this_thread::sleep_for(std::chrono::milliseconds(left < POLL_MS ? left : POLL_MS));
    }
}

}  // namespace

controller_lock::~controller_lock() { controller_lock_release(this); }

std::string controller_lock_path(const std::string& address, unsigned port) {
    std::string name;
    for (char c : address) {
        if (name.size() >= NAME_PART_LIMIT) break;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        name += safe ? c : '_';
    }
    return platform_join_path(platform_lock_folder(), "ornat-cli-" + name + "-" + std::to_string(port) + ".lock");
}

std::vector<std::string> controller_lock_paths(const std::string& host, unsigned port) {
    std::vector<std::string> addresses = platform_resolve_host(host);
    if (addresses.empty()) addresses.push_back(host);
    std::vector<std::string> paths;
    for (const std::string& address : addresses) paths.push_back(controller_lock_path(address, port));
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

int controller_lock_take(const char* shown, const std::string& host, unsigned port, std::uint32_t wait_limit_ms,
                         controller_lock* lock) {
    controller_lock_release(lock);
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (const std::string& path : controller_lock_paths(host, port)) {
        int fd = -1;
        const int result = take_one(shown, path, start, wait_limit_ms, &told, &fd);
        if (result != CONTROLLER_LOCK_TAKEN) {
            controller_lock_release(lock);
            return result;
        }
        lock->fds.push_back(fd);
    }
    return CONTROLLER_LOCK_TAKEN;
}

void controller_lock_release(controller_lock* lock) {
    for (int fd : lock->fds) platform_lock_close(fd);  // ends the lock
    lock->fds.clear();
}
