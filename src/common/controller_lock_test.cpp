// The per-controller lock: where its file lies, the wait for another holder
// with a short limit, and the lock a process holds to its end. The wait that
// ends when the holder lets go is the end-to-end test's.
#include "common/controller_lock.h"

#include "transfer/controller_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/support.h"

namespace {

// Sets (or with null unsets) an environment variable for one scope.
struct scoped_env {
    std::string name;
    std::string old;
    bool had;
    scoped_env(const char* n, const char* value) : name(n) {
        const char* current = std::getenv(n);
        had = current != nullptr;
        if (had) old = current;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~scoped_env() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

class ControllerLock : public testing::Test {
protected:
    // Takes the lock of an address with the given limit; keeps the output and
    // the time it took.
    int take(const char* address, std::uint32_t limit_ms, controller_lock* lock) {
        std::string host;
        unsigned port = 0;
        EXPECT_TRUE(controller_address_parse(address, &host, &port)) << address;
        testing::internal::CaptureStdout();
        const auto start = std::chrono::steady_clock::now();
        const int result = controller_lock_take(address, host, port, limit_ms, lock);
        took_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    scratch_folder scratch_;
    const std::string dir_ = scratch_.path.string();
    std::string out;
    long long took_ms = 0;
};

TEST_F(ControllerLock, FilesAreNamedAfterTheResolvedAddressInTheRuntimeFolderElseTheTemporaryFolder) {
    const std::string run = dir_ + "/run", tmp = dir_ + "/tmp", gone = dir_ + "/gone";
    std::filesystem::create_directory(run);
    std::filesystem::create_directory(tmp);
    const struct {
        const char* runtime;
        const char* tmpdir;
        const char* host;
        unsigned port;
        std::string path;
    } cases[] = {
        {run.c_str(), tmp.c_str(), "192.168.1.20", 8080, run + "/ornat-cli-192.168.1.20-8080.lock"},
        {"", tmp.c_str(), "::1", 80, tmp + "/ornat-cli-__1-80.lock"},
        {gone.c_str(), tmp.c_str(), "localhost", 80,
         tmp + "/ornat-cli-127.0.0.1-80.lock"},  // a runtime folder that is gone
        {nullptr, nullptr, "Ctl-3.invalid", 80, "/tmp/ornat-cli-ctl-3.invalid-80.lock"},  // resolves to nothing
        {nullptr, gone.c_str(), "../../etc/x", 1, "/tmp/ornat-cli-.._.._etc_x-1.lock"},
    };
    for (const auto& c : cases) {
        scoped_env runtime("XDG_RUNTIME_DIR", c.runtime);
        scoped_env tmpdir("TMPDIR", c.tmpdir);
        EXPECT_EQ(controller_lock_paths(c.host, c.port), std::vector<std::string>{c.path}) << c.host;
    }
    scoped_env runtime("XDG_RUNTIME_DIR", run.c_str());
    EXPECT_EQ(controller_lock_path(std::string(300, 'a'), 80),
              run + "/ornat-cli-" + std::string(200, 'a') + "-80.lock");
}

TEST_F(ControllerLock, SecondTakerGivesUpAtItsLimit) {
    scoped_env runtime("XDG_RUNTIME_DIR", dir_.c_str());
    controller_lock first;
    ASSERT_EQ(take("ctl.invalid:1", 0, &first), CONTROLLER_LOCK_TAKEN);
    EXPECT_EQ(out, "");

    controller_lock second;
    EXPECT_EQ(take("CTL.invalid:1", 300, &second), CONTROLLER_LOCK_TIMED_OUT);  // the same controller
    EXPECT_GE(took_ms, 300);
    EXPECT_EQ(out,
              "Waiting for another run on CTL.invalid:1...\r\n"
              "Gave up after 0.3 seconds: another run on CTL.invalid:1 still holds the controller.\r\n");
    EXPECT_TRUE(second.fds.empty());

    controller_lock other;
    EXPECT_EQ(take("ctl.invalid:2", 0, &other), CONTROLLER_LOCK_TAKEN);  // another controller is free
}

// A link planted under the lock file's name is not followed.
TEST_F(ControllerLock, LockFileThatCannotBeOpenedFailsAtOnce) {
    scoped_env runtime("XDG_RUNTIME_DIR", dir_.c_str());
    const std::string path = dir_ + "/ornat-cli-ctl.invalid-80.lock";
    std::filesystem::create_symlink(dir_ + "/elsewhere", path);
    controller_lock lock;
    EXPECT_EQ(take("ctl.invalid", 60000, &lock), CONTROLLER_LOCK_FAILED);
    EXPECT_LT(took_ms, 1000);
    EXPECT_EQ(out, "Cannot open the lock file '" + path + "' of ctl.invalid: Too many levels of symbolic links.\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/elsewhere"));
}

}  // namespace
