#include "common/output_file.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// ---- the temporary file registry ----
// Paths of at most this many bytes (UTF-8) are registered.
constexpr std::size_t TEMP_PATH_MAX = 4096;

struct temp_entry {
    volatile std::sig_atomic_t used;
    char path[TEMP_PATH_MAX];
};
temp_entry temp_entries[TEMP_REGISTRY_SLOTS];

// Runs in the interrupt handler: it only removes the registered files
// (unlink on POSIX, which is async-signal-safe).
void remove_registered_temps() {
    for (temp_entry& entry : temp_entries) {
        if (entry.used) platform_remove_file(entry.path);
    }
}

// Holds the interrupt handlers off for its lifetime, so that a file is
// never created without its registry entry.
struct interrupts_held {
    interrupts_held() { platform_interrupts_hold(); }
    ~interrupts_held() { platform_interrupts_release(); }
    interrupts_held(const interrupts_held&) = delete;
    interrupts_held& operator=(const interrupts_held&) = delete;
};

// The temporary file is gone or renamed: its name and entry are dropped.
void forget_temp(output_file* out) {
    out->temp.clear();
    temp_registry_remove(out->temp_slot);
    out->temp_slot = -1;
}

// Flushes the file to the disk and closes it; false on any failure.
bool finish_writing(output_file* out) {
    bool ok = !out->failed && platform_sync_file(out->file.get());
    return std::fclose(out->file.release()) == 0 && ok;
}

int rename_without_replacing(const char* from, const char* to) {
    switch (platform_rename_no_replace(from, to)) {
        case PLATFORM_RENAMED: return OUTPUT_COMMITTED;
        case PLATFORM_NAME_TAKEN: return OUTPUT_NAME_TAKEN;
        default: return OUTPUT_COMMIT_FAILED;
    }
}

}  // namespace

output_file::~output_file() { output_file_abort(this); }

bool output_file_open(output_file* out, const std::string& path) {
    output_file_abort(out);
    out->path = path;
    out->failed = false;
    {
        interrupts_held held;
        out->file.reset(platform_create_temp_file(path + ".part", &out->temp));
        if (out->file) out->temp_slot = temp_registry_add(out->temp.c_str());
    }
    return static_cast<bool>(out->file);
}

bool output_file_write(output_file* out, const void* bytes, std::size_t n) {
    if (!out->file) return false;
    if (n > 0 && std::fwrite(bytes, 1, n, out->file.get()) != n) out->failed = true;
    return !out->failed;
}

bool output_file_commit(output_file* out) {
    if (!out->file) return false;
    if (finish_writing(out) && platform_rename_replacing(out->temp.c_str(), out->path.c_str())) {
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
        platform_remove_file(out->temp.c_str());
        forget_temp(out);
    }
}

bool output_file_save(const std::string& path, const void* bytes, std::size_t n) {
    output_file out;
    return output_file_open(&out, path) && output_file_write(&out, bytes, n) && output_file_commit(&out);
}

int temp_registry_add(const char* path) {
    const std::size_t length = path ? std::strlen(path) : 0;
    if (length == 0 || length >= TEMP_PATH_MAX) return -1;
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

namespace {

void (*interrupt_also)(int status) = nullptr;

void end_of_interrupted_run(int status) {
    remove_registered_temps();
    if (interrupt_also) interrupt_also(status);
}

}  // namespace

void temp_cleanup_on_signals(void (*also)(int status)) {
    interrupt_also = also;
    platform_on_interrupt(end_of_interrupted_run);
}
