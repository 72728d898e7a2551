// One running instance per user: the first launch listens on a per-user local socket; a later launch
// hands its URLs (and a show request) to it and exits.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {

class SingleInstance {
  public:
    // What a later launch asks of the running instance.
    struct Request {
        std::vector<std::string> urls;  // URLs of the application's scheme given on the command line
        bool reopen = true;             // bring the main window to the front
        bool operator==(const Request&) const = default;
    };
    // Runs on the main thread of the running instance, once per hand-over.
    using Handler = std::function<void(const Request&)>;

    enum class Role {
        primary,    // this process is the running instance and now listens
        secondary,  // another instance runs and took the request: exit
        failed,     // neither listening nor handing over worked (the process may still run alone)
        blocked,    // another process owns the lock and did not take the request: exit all the same
    };

    // The per-user socket: $XDG_RUNTIME_DIR/brisko-desktop-<uid>.sock, else in the temp folder.
    static std::string defaultServerName();

    // Needs a QCoreApplication (created before, on the main thread).
    explicit SingleInstance(std::string serverName = defaultServerName());
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Hands the request to a running instance, or, when none answers, becomes the running instance
    // and calls the handler with each later request. A stale socket left by a crash is replaced.
    Role start(const Request& request, Handler handler,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    // The same, for the one process that may own the app's data: first takes the exclusive lock at
    // `lockPath` for the life of this object and leaves this instance's server name in it. When another
    // process holds the lock, whatever its socket (another runtime folder, a busy or half-started
    // instance), that process is the running one: the request is handed to the server its lock names,
    // retried for a few seconds while it starts up, and the role is secondary (taken) or blocked (not
    // taken); either way this process must not go on.
    Role startOwning(const std::filesystem::path& lockPath, const Request& request, Handler handler,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    bool ownsLock() const;

    // Hands a request to a running instance and waits for its acknowledgement; true when received.
    bool forward(const Request& request, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    bool isListening() const;
    const std::string& serverName() const;

    // The wire form of a request (one JSON line) and its reading; none for malformed input.
    static std::string encode(const Request& request);
    static std::optional<Request> decode(std::string_view line);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brisko::platform
