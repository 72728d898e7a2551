// Runs code that should stop the process (a refused programming error) in a child process and reports
// what it wrote to standard error before it stopped.
#pragma once

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace brisko::auth::test {

// The child's standard error when the code stopped the process with an abort; nothing when it
// returned normally or ended another way. The child is a fork of a process with threads and has none of
// them: the code must reach its stop without posting to a queue or waiting for another thread (make what
// it needs before), or it may wait forever on a lock or condition a vanished thread left behind.
inline std::optional<std::string> stopsWith(const std::function<void()>& code) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        // The test framework's crash report belongs to the parent: the child just stops.
        std::signal(SIGABRT, SIG_DFL);
        alarm(20);  // a child that hangs ends (and fails the check) instead of holding the test
        dup2(fds[1], STDERR_FILENO);
        if (FILE* null = std::fopen("/dev/null", "w")) dup2(fileno(null), STDOUT_FILENO);
        close(fds[0]);
        code();
        _exit(0);
    }
    close(fds[1]);
    std::string output;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT) return std::nullopt;
    return output;
}

}  // namespace brisko::auth::test
