// One exclusive lock per controller on this machine, so that two runs that
// change one controller never interleave: the lock covers a whole
// read-modify-write (setup_channel fetches a channel file, changes it and
// pushes it back) and every upload with its restore or apply request (the
// controller keeps only one pending upload).
//
// A controller is known by the addresses its host name resolves to and by
// its port (80 when the address names none), so that "localhost:8080" and
// "127.0.0.1:8080", or "ctl" and "ctl:80", take the same lock. Each
// address is an advisory lock on a lock file named
// "ornat-cli-<address>-<port>.lock" (the address in lower case, every
// character other than a letter, a digit, '.', '-' and '_' replaced by '_';
// the host name itself when it resolves to nothing) in $XDG_RUNTIME_DIR,
// else in the temporary folder ($TMPDIR, else /tmp); a variable that names
// no folder is passed over; on Windows in the user's temporary folder. A
// name that resolves to several addresses takes all of their locks, in
// sorted order. The lock files stay; a lock ends with the process that
// holds it, also when it is killed (flock on POSIX, LockFileEx on Windows:
// platform_lock_*).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum : int {
    CONTROLLER_LOCK_TAKEN = 0,
    CONTROLLER_LOCK_TIMED_OUT = 1,  // another run held it for the whole wait
    CONTROLLER_LOCK_FAILED = 2,     // a lock file could not be opened
};

// How long a run waits for another run on the same controller.
constexpr std::uint32_t CONTROLLER_LOCK_WAIT_SECONDS = 600;

// The locks taken by controller_lock_take; the destructor releases them.
struct controller_lock {
    std::vector<int> fds;
    controller_lock() = default;
    controller_lock(const controller_lock&) = delete;
    controller_lock& operator=(const controller_lock&) = delete;
    ~controller_lock();
};

// The lock file of one address (or host name) and port.
std::string controller_lock_path(const std::string& address, unsigned port);
// The lock files of a controller: one per address of `host`, sorted.
std::vector<std::string> controller_lock_paths(const std::string& host, unsigned port);

// Takes the locks of the controller at `host` and `port`; `shown` names it
// in the messages. When another run holds one, prints "Waiting for another
// run on SHOWN..." once and tries again every 200 ms for at most
// `wait_limit_ms`; after that, or when a lock file cannot be opened, says
// why in red and holds nothing. Returns a CONTROLLER_LOCK_* code.
int controller_lock_take(const char* shown, const std::string& host, unsigned port, std::uint32_t wait_limit_ms,
                         controller_lock* lock);
void controller_lock_release(controller_lock* lock);
