// The per-controller lock over the platform's advisory file locks (flock
// on POSIX, LockFileEx on Windows).
#include "common/controller_lock.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

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

// The addresses this process has asked to hold, and how that went; a held
// lock's descriptor stays open until the process ends.
struct held_entry {
    std::string path;
    int result;
};

std::vector<held_entry>& held_table() {
    static std::vector<held_entry> table;
    return table;
}

}  // namespace

controller_lock::~controller_lock() { controller_lock_release(this); }

std::string controller_lock_path(const char* address) {
    std::string name;
    for (const char* p = address ? address : ""; *p != '\0' && name.size() < NAME_PART_LIMIT; ++p) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const bool safe = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        name += safe ? c : '_';
    }
    return platform_join_path(platform_lock_folder(), "ornat-cli-" + name + ".lock");
}

int controller_lock_take(const char* address, std::uint32_t wait_limit_ms, controller_lock* lock) {
    controller_lock_release(lock);
    if (address == nullptr) address = "";
    const std::string path = controller_lock_path(address);
    lock->fd = platform_lock_open(path);
    if (lock->fd < 0) {
        log_printf_color(COLOR_RED, "Cannot open the lock file '%s' of %s: %s.", path.c_str(), address,
                         std::strerror(errno));
        return CONTROLLER_LOCK_FAILED;
    }
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        const int tried = platform_lock_try(lock->fd);
        if (tried == PLATFORM_LOCK_TAKEN) return CONTROLLER_LOCK_TAKEN;
        if (tried == PLATFORM_LOCK_ERROR) {
            log_printf_color(COLOR_RED, "Cannot lock '%s' for %s: %s.", path.c_str(), address, std::strerror(errno));
            controller_lock_release(lock);
            return CONTROLLER_LOCK_FAILED;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (waited.count() >= wait_limit_ms) {
            log_printf_color(COLOR_RED, "Gave up after %s: another run on %s still holds the controller.",
                             wait_text(wait_limit_ms).c_str(), address);
            controller_lock_release(lock);
            return CONTROLLER_LOCK_TIMED_OUT;
        }
        if (!told) {
            log_printf("Waiting for another run on %s...", address);
            told = true;
        }
        const auto left = static_cast<std::uint32_t>(wait_limit_ms - waited.count());
        std::this_thread::sleep_for(std::chrono::milliseconds(left < POLL_MS ? left : POLL_MS));
    }
}

void controller_lock_release(controller_lock* lock) {
    if (lock->fd >= 0) {
        platform_lock_close(lock->fd);  // ends the lock
        lock->fd = -1;
    }
}

int controller_lock_hold(const char* address) {
    const std::string path = controller_lock_path(address);
    for (const held_entry& entry : held_table()) {
        if (entry.path == path) return entry.result;
    }
    controller_lock lock;
    const int result = controller_lock_take(address, CONTROLLER_LOCK_WAIT_SECONDS * 1000, &lock);
    lock.fd = -1;  // a taken lock stays with the process; its descriptor is never closed
    held_table().push_back(held_entry{path, result});
    return result;
}
