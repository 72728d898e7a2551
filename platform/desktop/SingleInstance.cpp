// The single-instance socket: a QLocalServer in the running instance, a QLocalSocket in later
// launches; both ends check that the peer is the same user.
#include "platform/desktop/SingleInstance.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <thread>

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <nlohmann/json.hpp>

#include "platform/base/Log.hpp"
#include "platform/storage/FileLock.hpp"

namespace brisko::platform {

namespace {

constexpr qint64 kMaxRequestBytes = 64 * 1024;
constexpr int kIdleConnectionMs = 5000;
constexpr std::string_view kAcknowledgement = "ok\n";
// A process that lost the lock tries this often, this far apart, to reach the owner while it starts.
constexpr int kHandOverAttempts = 20;
constexpr std::chrono::milliseconds kHandOverPause{250};

void note(const std::string& message) {
    log(LogLevel::notice, "platform", "[SingleInstance] " + message);
}

// The peer of a connected local socket runs as this user.
bool peerIsSameUser(qintptr fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (fd < 0 || ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == ::getuid();
}

// A socket file that another user made must not be talked to nor removed.
bool socketFileIsOurs(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

}  // namespace

struct SingleInstance::Impl {
    std::string name;
    std::optional<FileLock> lock;
    std::unique_ptr<QLocalServer> server;
    Handler handler;

    void accept() {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!peerIsSameUser(socket->socketDescriptor())) {
                note("refused a connection from another user");
                socket->abort();
                continue;
            }
            // A client that never finishes its line is dropped.
            QTimer::singleShot(kIdleConnectionMs, socket, [socket] { socket->abort(); });
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] { read(socket); });
            if (socket->bytesAvailable() > 0) read(socket);
        }
    }

    void read(QLocalSocket* socket) {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxRequestBytes) {
                note("dropped an oversized request");
                socket->abort();
            }
            return;
        }
        QByteArray line = socket->readLine(kMaxRequestBytes + 1);
        auto request = decode(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        if (!request) {
            note("dropped a malformed request");
            socket->abort();
            return;
        }
        socket->write(kAcknowledgement.data(), static_cast<qint64>(kAcknowledgement.size()));
        socket->flush();
        socket->disconnectFromServer();
        if (handler) handler(*request);
    }
};

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
    if (impl_->server) impl_->server->close();
}

const std::string& SingleInstance::serverName() const {
    return impl_->name;
}

bool SingleInstance::isListening() const {
    return impl_->server && impl_->server->isListening();
}

std::string SingleInstance::encode(const Request& request) {
    nlohmann::json j = {{"urls", request.urls}, {"reopen", request.reopen}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<SingleInstance::Request> SingleInstance::decode(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
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
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(impl_->name));
    int ms = static_cast<int>(timeout.count());
    if (!socket.waitForConnected(ms)) return false;
    if (!peerIsSameUser(socket.socketDescriptor())) {
        note("the running instance is another user's; not handing over");
        return false;
    }
    std::string line = encode(request);
    socket.write(line.data(), static_cast<qint64>(line.size()));
    if (!socket.waitForBytesWritten(ms)) return false;
    // The acknowledgement says the request was taken before this process goes away.
    QByteArray reply;
    while (!reply.contains('\n')) {
        if (!socket.waitForReadyRead(ms)) return false;
        reply += socket.readAll();
        if (reply.size() > 16) return false;
    }
    return reply.startsWith(
        QByteArray(kAcknowledgement.data(), static_cast<qsizetype>(kAcknowledgement.size())));
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

SingleInstance::Role SingleInstance::start(const Request& request, Handler handler,
                                           std::chrono::milliseconds timeout) {
    if (forward(request, timeout)) return Role::secondary;

    impl_->handler = std::move(handler);
    impl_->server = std::make_unique<QLocalServer>();
    impl_->server->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(impl_->server.get(), &QLocalServer::newConnection, impl_->server.get(),
                     [impl = impl_.get()] { impl->accept(); });
    QString name = QString::fromStdString(impl_->name);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (impl_->server->listen(name)) return Role::primary;
        if (impl_->server->serverError() != QAbstractSocket::AddressInUseError) break;
        // Another launch may have become the running instance meanwhile; else the socket is stale.
        if (forward(request, timeout)) {
            impl_->server.reset();
            return Role::secondary;
        }
        if (!socketFileIsOurs(impl_->name)) break;
        QLocalServer::removeServer(name);
    }
    note("could not listen on " + impl_->name + ": " + impl_->server->errorString().toStdString());
    impl_->server.reset();
    return Role::failed;
}

}  // namespace brisko::platform
