#include "common/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// ---- the temporary file registry ----
struct temp_entry {
    volatile std::sig_atomic_t used;
    char path[PATH_MAX];
};
temp_entry temp_entries[TEMP_REGISTRY_SLOTS];

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe calls: unlink and _exit.
void remove_temps_and_exit(int signal_number) {
    for (temp_entry& entry : temp_entries) {
        if (entry.used) unlink(entry.path);
    }
    _exit(128 + signal_number);
}

// Holds the cleanup signals off for its lifetime, so that a file is never
// created without its registry entry.
struct cleanup_signals_held {
    sigset_t old;
    cleanup_signals_held() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : CLEANUP_SIGNALS) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &old);
    }
    ~cleanup_signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// The temporary file is gone or renamed: its name and entry are dropped.
void forget_temp(output_file* out) {
    out->temp.clear();
    temp_registry_remove(out->temp_slot);
    out->temp_slot = -1;
}

// mkstemp creates the file for its owner only; outputs get the usual
// permissions of a new file instead.
mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Flushes the file to the disk and closes it; false on any failure.
bool finish_writing(output_file* out) {
    bool ok = !out->failed && std::fflush(out->file.get()) == 0 && fsync(fileno(out->file.get())) == 0;
    return std::fclose(out->file.release()) == 0 && ok;
}

// Renames `from` to `to` unless `to` exists, in one step: a rename that
// never replaces, or where the file system has none, a hard link (which
// fails on an existing name) and the removal of the old name.
int rename_without_replacing(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return OUTPUT_COMMITTED;
    if (errno == EEXIST) return OUTPUT_NAME_TAKEN;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return OUTPUT_COMMIT_FAILED;
    if (link(from, to) != 0) return errno == EEXIST ? OUTPUT_NAME_TAKEN : OUTPUT_COMMIT_FAILED;
    unlink(from);
    return OUTPUT_COMMITTED;
}

}  // namespace

output_file::~output_file() { output_file_abort(this); }

bool output_file_open(output_file* out, const std::string& path) {
    output_file_abort(out);
    out->path = path;
    out->temp = path + ".partXXXXXX";
    out->failed = false;
    int fd = -1;
    {
        cleanup_signals_held held;
        fd = mkstemp(out->temp.data());
        if (fd >= 0) out->temp_slot = temp_registry_add(out->temp.c_str());
    }
    if (fd < 0) {
        out->temp.clear();
        return false;
    }
    fchmod(fd, 0666 & ~current_umask());
    out->file.reset(fdopen(fd, "wb"));
    if (!out->file) {
        close(fd);
        unlink(out->temp.c_str());
        forget_temp(out);
        return false;
    }
    return true;
}

bool output_file_write(output_file* out, const void* bytes, std::size_t n) {
    if (!out->file) return false;
    if (n > 0 && std::fwrite(bytes, 1, n, out->file.get()) != n) out->failed = true;
    return !out->failed;
}

bool output_file_commit(output_file* out) {
    if (!out->file) return false;
    if (finish_writing(out) && std::rename(out->temp.c_str(), out->path.c_str()) == 0) {
        forget_temp(out);
        return true;
    }
    output_file_abort(out);
    return false;
}

int output_file_commit_new(output_file* out) {
    if (!out->file) return OUTPUT_COMMIT_FAILED;
    const int result =
        finish_writing(out) ? rename_without_replacing(out->temp.c_str(), out->path.c_str()) : OUTPUT_COMMIT_FAILED;
    if (result == OUTPUT_COMMITTED) {
        forget_temp(out);
    } else {
        output_file_abort(out);
    }
    return result;
}

void output_file_abort(output_file* out) {
    out->file.reset();
    if (!out->temp.empty()) {
        unlink(out->temp.c_str());
        forget_temp(out);
    }
}

bool output_file_save(const std::string& path, const void* bytes, std::size_t n) {
    output_file out;
    return output_file_open(&out, path) && output_file_write(&out, bytes, n) && output_file_commit(&out);
}

int temp_registry_add(const char* path) {
    const std::size_t length = path ? std::strlen(path) : 0;
    if (length == 0 || length >= PATH_MAX) return -1;
    for (std::size_t i = 0; i < TEMP_REGISTRY_SLOTS; ++i) {
        temp_entry& entry = temp_entries[i];
        if (entry.used) continue;
        std::memcpy(entry.path, path, length + 1);
        // The handler sees the entry only with its whole path.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        entry.used = 1;
        return static_cast<int>(i);
    }
    return -1;
}

void temp_registry_remove(int slot) {
    if (slot >= 0 && static_cast<std::size_t>(slot) < TEMP_REGISTRY_SLOTS) temp_entries[slot].used = 0;
}

void temp_cleanup_on_signals() {
    for (int s : CLEANUP_SIGNALS) {
        struct sigaction current{};
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action{};
        action.sa_handler = remove_temps_and_exit;
        sigemptyset(&action.sa_mask);
        for (int other : CLEANUP_SIGNALS) sigaddset(&action.sa_mask, other);
        sigaction(s, &action, nullptr);
    }
}
