// One exclusive lock per controller address on this machine, so that two
// runs that change one controller never interleave their uploads and
// restore or apply requests (the controller keeps only one pending upload).
//
// The lock is an advisory lock on a lock file named after the address (as
// given, letters in lower case, every character other than a letter, a
// digit, '.', '-' and '_' replaced by '_') in $XDG_RUNTIME_DIR, else in the
// temporary folder ($TMPDIR, else /tmp); a variable that names no folder is
// passed over; on Windows in the user's temporary folder. The lock file
// itself stays; the lock ends with the process that holds it, also when it
// is killed (flock on POSIX, LockFileEx on Windows: platform_lock_*).
#pragma once

#include <cstdint>
#include <string>

enum : int {
    CONTROLLER_LOCK_TAKEN = 0,
    CONTROLLER_LOCK_TIMED_OUT = 1,  // another run held it for the whole wait
    CONTROLLER_LOCK_FAILED = 2,     // the lock file could not be opened
};

// How long a run waits for another run on the same controller.
constexpr std::uint32_t CONTROLLER_LOCK_WAIT_SECONDS = 600;

// A lock taken by controller_lock_take; the destructor releases it.
struct controller_lock {
    int fd = -1;
    controller_lock() = default;
    controller_lock(const controller_lock&) = delete;
    controller_lock& operator=(const controller_lock&) = delete;
    ~controller_lock();
};

// The lock file of an address.
std::string controller_lock_path(const char* address);

// Takes the lock of `address`. When another run holds it, prints
// "Waiting for another run on ADDRESS..." once and tries again every
// 200 ms for at most `wait_limit_ms`; after that, or when the lock file
// cannot be opened, says why in red. Returns a CONTROLLER_LOCK_* code.
int controller_lock_take(const char* address, std::uint32_t wait_limit_ms, controller_lock* lock);
void controller_lock_release(controller_lock* lock);

// Holds the lock of `address` from the first call until the process ends,
// waiting at most CONTROLLER_LOCK_WAIT_SECONDS for it. Later calls for the
// same address return at once: 0 when it is held, else the code of the
// first failure (the wait is not repeated).
int controller_lock_hold(const char* address);
