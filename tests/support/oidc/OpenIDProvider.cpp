// Starting and stopping the Node-run OpenID provider; running the scripted browser.
#include "tests/support/oidc/OpenIDProvider.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace brisko::testing {
namespace {

const std::string kSupportDir = BRISKO_OIDC_SUPPORT_DIR;

// Starts argv with stdout and stderr on a pipe; answers the pid and the read end.
std::pair<pid_t, int> spawn(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

// Reads what is available within the time left; false at end of stream.
bool readSome(int fd, std::string& out, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    auto n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

std::string ProcessResult::lineValue(std::string_view prefix) const {
    std::string key = std::string(prefix) + " ";
    std::size_t pos = 0;
    while (pos < output.size()) {
        auto end = output.find('\n', pos);
        std::string_view line(output.data() + pos, (end == std::string::npos ? output.size() : end) - pos);
        if (line.starts_with(key)) return std::string(line.substr(key.size()));
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return {};
}

ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutSeconds) {
    auto [pid, fd] = spawn(argv);
    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (readSome(fd, result.output, deadline)) {
    }
    ::close(fd);
    if (std::chrono::steady_clock::now() >= deadline) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

OpenIDProvider::OpenIDProvider() {
    auto [pid, fd] = spawn({"node", kSupportDir + "/provider.mjs"});
    pid_ = pid;
    reader_ = std::thread([this, fd = fd] {
        char buf[4096];
        while (true) {
            auto n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            output_.append(buf, static_cast<std::size_t>(n));
            cv_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    });
    std::unique_lock lock(mutex_);
    auto listening = [this] {
        auto at = output_.find("PORT ");
        return at != std::string::npos && output_.find('\n', at) != std::string::npos;
    };
    if (!cv_.wait_for(lock, std::chrono::seconds(30), [&] { return listening() || ended_; }) || !listening()) {
        std::string output = output_;
        lock.unlock();
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        reader_.join();
        pid_ = -1;
        throw std::runtime_error(
            "the OpenID provider did not start (node and the oidc-provider package are needed: run "
            "scripts/install-test-peers.sh). Output:\n" +
            output);
    }
    port_ = std::stoi(output_.substr(output_.find("PORT ") + 5));
}

OpenIDProvider::~OpenIDProvider() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
}

std::string OpenIDProvider::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::string OpenIDProvider::issuer() const { return "http://127.0.0.1:" + std::to_string(port_); }

ProcessResult ScriptedBrowser::run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"node", kSupportDir + "/browser.mjs"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
}

}  // namespace brisko::testing
