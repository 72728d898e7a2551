// Helpers of the desktop tests: the Qt application, event pumping, temporary folders and child
// processes started (and ended) by the tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace brisko::test {

// The process's QCoreApplication (in tests linking Qt), made on first use (on the main thread). Like the app, it runs
// in a UTF-8 locale.
void ensureQtApp();

// Runs Qt events until the predicate holds or the timeout passes; true when it held.
bool processEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
// Runs Qt events for a while.
void processEventsFor(std::chrono::milliseconds duration);

// A folder removed with everything in it when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A child process started with the arguments (searched in PATH), killed and reaped when the
// object goes.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    // Waits for the exit; the exit status, or -1 on timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Runs a shell command and returns its exit status (used for xdotool).
int run(const std::string& command);

}  // namespace brisko::test
