// Helpers of the desktop tests.
#include "tests/platform/desktop/DesktopTestSupport.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The Qt helpers exist where the test links Qt; the Wayland tests, which run without Qt (also under
// ThreadSanitizer), use the rest.
#if __has_include(<QCoreApplication>)
#define BRISKO_TEST_SUPPORT_QT 1
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#endif

extern char** environ;

namespace brisko::test {

#if BRISKO_TEST_SUPPORT_QT

void ensureQtApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "platform_desktop_tests";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    (void)app;
}

bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    ensureQtApp();
    QDeadlineTimer deadline(timeout.count());
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void processEventsFor(std::chrono::milliseconds duration) {
    ensureQtApp();
    QDeadlineTimer deadline(duration.count());
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
}

#endif

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brisko-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnvironment) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    for (auto& e : extraEnvironment) envStrings.push_back(std::move(e));
    std::vector<char*> env;
    for (auto& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), env.data()) != 0) pid_ = -1;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGTERM);
        if (wait(std::chrono::milliseconds(3000)) == -1) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() > end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace brisko::test
