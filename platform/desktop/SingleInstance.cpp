// The single-instance socket: a Unix stream socket that the running instance listens on (watched by the
// Qt event loop), and a blocking client in later launches; both ends check that the peer is the same
// user. Plain sockets rather than Qt's local sockets: the tray app would otherwise keep a whole network
// library resident for one line a launch.
#include "platform/desktop/SingleInstance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <list>
#include <thread>

#include <QSocketNotifier>
#include <QTimer>

#include <nlohmann/json.hpp>

#include "platform/base/JSON.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/FileLock.hpp"

namespace brisko::platform {

namespace {

constexpr std::size_t kMaxRequestBytes = 64 * 1024;
constexpr int kIdleConnectionMs = 5000;
constexpr int kListenBacklog = 16;
constexpr std::string_view kAcknowledgement = "ok\n";
constexpr std::size_t kMaxReplyBytes = 16;
constexpr std::chrono::milliseconds kConnectRetryPause{20};
// A process that lost the lock tries this often, this far apart, to reach the owner while it starts.
constexpr int kHandOverAttempts = 20;
constexpr std::chrono::milliseconds kHandOverPause{250};

void note(const std::string& message) {
    log(LogLevel::notice, "platform", "[SingleInstance] " + message);
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// Closes the descriptor when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The peer of a connected local socket runs as this user.
bool peerIsSameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == ::getuid();
}

// A socket file that another user made must not be talked to nor removed.
bool socketFileIsOurs(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

// The socket address of a path; none when the path does not fit.
std::optional<sockaddr_un> addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// Waits until the descriptor is ready for `events` or the deadline passes; false on time-out or error.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n == 0 || errno != EINTR) return false;
    }
}

// One accepted connection: its bytes until the request's line ends.
struct Connection {
    UniqueFd fd;
    std::string received;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QTimer> idle;
    bool dropped = false;
};

}  // namespace

struct SingleInstance::Impl {
    std::string name;
    std::optional<FileLock> lock;
    UniqueFd listener;
    struct stat bound {};  // the socket file this instance made, to remove only that one
    std::unique_ptr<QSocketNotifier> incoming;
    std::list<Connection> connections;
    QObject context;  // deferred clean-ups die with the instance
    Handler handler;

    bool listen(int& error);
    void close();
    void accept();
    void read(std::list<Connection>::iterator connection);
    void drop(std::list<Connection>::iterator connection);
};

bool SingleInstance::Impl::listen(int& error) {
    const auto address = addressOf(name);
    if (!address) {
        error = ENAMETOOLONG;
        return false;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        error = errno;
        return false;
    }
    // Only this user may connect; a connection made before the mode changes is checked all the same.
    if (::chmod(name.c_str(), S_IRUSR | S_IWUSR) != 0 || ::lstat(name.c_str(), &bound) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        error = errno;
        ::unlink(name.c_str());
        return false;
    }
    listener = std::move(fd);
    incoming = std::make_unique<QSocketNotifier>(listener.get(), QSocketNotifier::Read);
    QObject::connect(incoming.get(), &QSocketNotifier::activated, incoming.get(), [this] { accept(); });
    return true;
}

void SingleInstance::Impl::close() {
    connections.clear();
    incoming.reset();
    if (!listener) return;
    listener.reset();
    // A later instance may have replaced a socket it took for stale: that one stays.
    struct stat st {};
    if (::lstat(name.c_str(), &st) == 0 && st.st_dev == bound.st_dev && st.st_ino == bound.st_ino)
        ::unlink(name.c_str());
}

void SingleInstance::Impl::accept() {
    for (;;) {
        UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: nothing more waits (or the process is out of descriptors: try on the next one)
        }
        if (!peerIsSameUser(fd.get())) {
            note("refused a connection from another user");
            continue;
        }
        auto connection = connections.emplace(connections.end());
        connection->fd = std::move(fd);
        connection->readable = std::make_unique<QSocketNotifier>(connection->fd.get(), QSocketNotifier::Read);
        QObject::connect(connection->readable.get(), &QSocketNotifier::activated, connection->readable.get(),
                         [this, connection] { read(connection); });
        // A client that never finishes its line is dropped.
        connection->idle = std::make_unique<QTimer>();
        connection->idle->setSingleShot(true);
        QObject::connect(connection->idle.get(), &QTimer::timeout, connection->idle.get(),
                         [this, connection] { drop(connection); });
        connection->idle->start(kIdleConnectionMs);
    }
}

void SingleInstance::Impl::drop(std::list<Connection>::iterator connection) {
    if (connection->dropped) return;
    connection->dropped = true;
    connection->readable->setEnabled(false);
    connection->idle->stop();
    connection->fd.reset();
    // Its notifier or timer is the one signalling now: free them once that is over.
    QMetaObject::invokeMethod(
        &context, [this, connection] { connections.erase(connection); }, Qt::QueuedConnection);
}

void SingleInstance::Impl::read(std::list<Connection>::iterator connection) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(connection->fd.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest of the line comes later
        if (n <= 0) {
            drop(connection);  // the client left (or failed) before its line ended
            return;
        }
        const std::size_t before = connection->received.size();
        connection->received.append(chunk, static_cast<std::size_t>(n));
        const auto end = connection->received.find('\n', before);
        if (end == std::string::npos || end >= kMaxRequestBytes) {
            if (connection->received.size() > kMaxRequestBytes) {
                note("dropped an oversized request");
                drop(connection);
                return;
            }
            continue;
        }
        const auto request = decode(std::string_view(connection->received).substr(0, end + 1));
        if (!request) {
            note("dropped a malformed request");
            drop(connection);
            return;
        }
        // The client waits for these few bytes, which fit in any socket buffer.
        [[maybe_unused]] const ssize_t sent =
            ::send(connection->fd.get(), kAcknowledgement.data(), kAcknowledgement.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        drop(connection);
        // Last: the handler may run an event loop or end this instance.
        if (handler) handler(*request);
        return;
    }
}

std::string SingleInstance::defaultServerName() {
    std::string file = "brisko-desktop-" + std::to_string(::getuid()) + ".sock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return (std::filesystem::path(runtime) / file).string();
    std::error_code ec;
    auto temp = std::filesystem::temp_directory_path(ec);
    return ((ec ? std::filesystem::path("/tmp") : temp) / file).string();
}

SingleInstance::SingleInstance(std::string serverName) : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(serverName);
}

SingleInstance::~SingleInstance() {
    impl_->close();
}

const std::string& SingleInstance::serverName() const {
    return impl_->name;
}

bool SingleInstance::isListening() const {
    return static_cast<bool>(impl_->listener);
}

std::string SingleInstance::encode(const Request& request) {
    nlohmann::json j = {{"urls", request.urls}, {"reopen", request.reopen}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<SingleInstance::Request> SingleInstance::decode(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    const auto document = readJSON(line, kMaxStoredJSONDepth);
    if (!document || !document->is_object()) return std::nullopt;
    const auto& j = *document;
    Request request;
    if (auto it = j.find("urls"); it != j.end()) {
        if (!it->is_array()) return std::nullopt;
        for (const auto& url : *it) {
            if (!url.is_string()) return std::nullopt;
            request.urls.push_back(url.get<std::string>());
        }
    }
    if (auto it = j.find("reopen"); it != j.end()) {
        if (!it->is_boolean()) return std::nullopt;
        request.reopen = it->get<bool>();
    }
    return request;
}

bool SingleInstance::forward(const Request& request, std::chrono::milliseconds timeout) {
    if (!socketFileIsOurs(impl_->name)) {
        note("the socket " + impl_->name + " belongs to another user; not handing over");
        return false;
    }
    const auto address = addressOf(impl_->name);
    if (!address) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    // A full backlog (the running instance is busy) refuses with EAGAIN: try again until the deadline.
    while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kConnectRetryPause);
    }
    if (!peerIsSameUser(fd.get())) {
        note("the running instance is another user's; not handing over");
        return false;
    }
    const std::string line = encode(request);
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd.get(), POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    // The acknowledgement says the request was taken before this process goes away.
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
        char chunk[kMaxReplyBytes];
        const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            reply.append(chunk, static_cast<std::size_t>(n));
            if (reply.size() > kMaxReplyBytes) return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd.get(), POLLIN, deadline)) return false;
        } else {
            return false;  // closed without acknowledging
        }
    }
    return reply.starts_with(kAcknowledgement);
}

bool SingleInstance::ownsLock() const {
    return impl_->lock.has_value();
}

SingleInstance::Role SingleInstance::startOwning(const std::filesystem::path& lockPath, const Request& request,
                                                 Handler handler, std::chrono::milliseconds timeout) {
    for (int attempt = 0; attempt < kHandOverAttempts; ++attempt) {
        // Free again when the owner quit meanwhile: then this process is the owner.
        if ((impl_->lock = FileLock::tryLock(lockPath))) {
            impl_->lock->writeNote(impl_->name);
            return start(request, std::move(handler), timeout);
        }
        if (attempt == 0) note("another process owns " + lockPath.string() + "; handing the request to it");
        // The owner names its server once it has the lock; it may still be starting up.
        if (auto owner = FileLock::readNote(lockPath); owner && !owner->empty()) {
            SingleInstance target(*owner);
            if (target.forward(request, timeout)) return Role::secondary;
        }
        std::this_thread::sleep_for(kHandOverPause);
    }
    note("the owner did not take the request");
    return Role::blocked;
}

SingleInstance::Role SingleInstance::start(const Request& request, Handler handler, std::chrono::milliseconds timeout) {
    if (forward(request, timeout)) return Role::secondary;

    impl_->handler = std::move(handler);
    int error = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (impl_->listen(error)) return Role::primary;
        if (error != EADDRINUSE) break;
        // Another launch may have become the running instance meanwhile; else the socket is stale.
        if (forward(request, timeout)) return Role::secondary;
        if (!socketFileIsOurs(impl_->name)) break;
        ::unlink(impl_->name.c_str());
    }
    note("could not listen on " + impl_->name + ": " + errnoText(error));
    return Role::failed;
}

}  // namespace brisko::platform
