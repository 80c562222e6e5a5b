// Test support: runs the built ornat-cli binary with arguments and extra
// environment variables, and returns its exit status and its output.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct tool_run {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_whole_fd(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

inline tool_run run_tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                         const char* workdir = nullptr) {
    tool_run result;
    char out_name[] = "/tmp/ornat-out-XXXXXX";
    char err_name[] = "/tmp/ornat-err-XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0) return result;
    unlink(out_name);
    unlink(err_name);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        if (workdir && chdir(workdir) != 0) _exit(126);
        for (const std::string& assignment : env) putenv(const_cast<char*>(assignment.c_str()));
        std::vector<char*> argv;
        std::string binary = ORNAT_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copies(args);
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    result.out = read_whole_fd(out_fd);
    result.err = read_whole_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return result;
}
