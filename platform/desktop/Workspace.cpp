// The shared workspace, this process as an application, and the URL opener with its verdict.
#include "platform/desktop/Workspace.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <filesystem>

#include "platform/base/Log.hpp"
#include "platform/base/ServiceSlot.hpp"

namespace brisko::platform {

namespace {

// Opens URLs; sees no windows (used until the app installs a display-backed workspace).
class BasicWorkspace : public Workspace {
  public:
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    bool openURL(std::string_view url) override { return launchURLOpener(url); }
};

using Slot = ServiceSlot<Workspace, BasicWorkspace>;

std::mutex& identifierMutex() {
    static std::mutex m;
    return m;
}
std::optional<std::string>& currentIdentifier() {
    static std::optional<std::string> id;
    return id;
}

std::string executableName() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.filename().empty()) return exe.filename().string();
    return program_invocation_short_name;
}

// A URL the opener may be given: a scheme, then no control characters (an argument starting with
// '-' would be read as an option).
bool isOpenableURL(std::string_view url) {
    auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!isAlpha(url[0])) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = url[i];
        if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    for (unsigned char c : url) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// The program's path from $PATH, resolved before forking (the child may only make async-signal-safe
// calls).
std::optional<std::string> findProgram(const char* program) {
    std::string_view name(program);
    if (name.find('/') != std::string_view::npos) return std::string(name);
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        auto sep = dirs.find(':');
        auto dir = dirs.substr(0, sep);
        std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (sep == std::string_view::npos) break;
        dirs.remove_prefix(sep + 1);
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<Workspace> Workspace::shared() {
    return Slot::get();
}

void Workspace::setShared(std::shared_ptr<Workspace> workspace) {
    Slot::set(std::move(workspace));
}

RunningApplication Workspace::currentApplication() {
    RunningApplication app;
    app.processIdentifier = ::getpid();
    app.localizedName = executableName();
    std::lock_guard lock(identifierMutex());
    app.bundleIdentifier = currentIdentifier() ? currentIdentifier() : app.localizedName;
    return app;
}

void Workspace::setCurrentBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(identifierMutex());
    currentIdentifier() = std::move(identifier);
}

bool Workspace::isCurrentApplication(const RunningApplication& app) {
    return app.processIdentifier == ::getpid();
}

bool openURL(std::string_view url) {
    return Workspace::shared()->openURL(url);
}

bool launchURLOpener(std::string_view url, const char* opener, std::chrono::milliseconds grace) {
    if (!isOpenableURL(url)) {
        log(LogLevel::error, "platform", "[Workspace] refused to open a text that is not a URL");
        return false;
    }
    auto program = findProgram(opener);
    if (!program) {
        log(LogLevel::error, "platform", std::string("[Workspace] ") + opener + " not found");
        return false;
    }
    std::string arg(url);
    const char* argv[] = {program->c_str(), arg.c_str(), nullptr};
    const int graceMs = static_cast<int>(std::max<std::int64_t>(0, grace.count()));

    // The opener runs as a grandchild so that init reaps it when it outlives us (a browser started in
    // the foreground). The child in between waits up to `grace` for the opener's verdict (xdg-open
    // fails fast when nothing can open the URL) and passes it on through a close-on-exec pipe: an
    // exit status, or kStillRunning.
    constexpr int kStillRunning = -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (child == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild < 0) ::_exit(1);
        if (grandchild == 0) {
            int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
            ::execv(argv[0], const_cast<char* const*>(argv));
            ::_exit(127);
        }
        int verdict = kStillRunning;
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, grandchild, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            int ready;
            while ((ready = ::poll(&p, 1, graceMs)) < 0 && errno == EINTR) {
            }
            int status = 0;
            if (ready > 0 && ::waitpid(grandchild, &status, 0) == grandchild)
                verdict = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        [[maybe_unused]] auto n = ::write(fds[1], &verdict, sizeof verdict);
        ::_exit(0);
    }
    ::close(fds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int verdict = 1;
    ssize_t n;
    while ((n = ::read(fds[0], &verdict, sizeof verdict)) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    const bool opened = n == static_cast<ssize_t>(sizeof verdict) && (verdict == 0 || verdict == kStillRunning);
    if (!opened) {
        log(LogLevel::error, "platform",
            std::string("[Workspace] ") + opener + " did not open the URL (exit status " +
                std::to_string(n == static_cast<ssize_t>(sizeof verdict) ? verdict : -1) + ")");
    }
    return opened;
}

}  // namespace brisko::platform
