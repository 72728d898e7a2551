// Runs this benchmark's own binary again with other arguments and returns what it printed, so each side
// of a comparison is measured in a fresh process of its own.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace brisko::bench {

inline std::string runSelf(const char* self, std::vector<std::string> args) {
    int pipeFDs[2];
    if (pipe(pipeFDs) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFDs[1], STDOUT_FILENO);
        close(pipeFDs[0]);
        std::vector<char*> argv{const_cast<char*>(self)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(self, argv.data());
        _exit(127);
    }
    close(pipeFDs[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFDs[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    close(pipeFDs[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

}  // namespace brisko::bench
