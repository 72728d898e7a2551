// The loopback TCP server on Asio: the two listening sockets, the chosen port and accepting.
#include "oauth/TCPServer.hpp"

#include <asio/ip/v6_only.hpp>

namespace brisko::oauth {

using asio::ip::tcp;

namespace {
constexpr std::string_view kQueueLabel = "com.brisko.oauth.loopbackListener";
}  // namespace

// What outlives the server object while work for it is queued. The acceptors are touched on the queue
// only; the fields under the mutex and the flags are read from anywhere.
struct TCPServer::State : std::enable_shared_from_this<TCPServer::State> {
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::make(std::string(kQueueLabel));

    mutable std::mutex mutex;
    std::weak_ptr<TCPServerDelegate> delegate;
    std::optional<std::string> domain, name, type;
    std::uint16_t port = 0;

    std::unique_ptr<tcp::acceptor> v4, v6;
    std::atomic<bool> hasV4{false}, hasV6{false};

    bool start(const std::weak_ptr<TCPServer>& owner, OptionalError* error);
    void stopListening();
    void accept(const std::weak_ptr<TCPServer>& owner, tcp::acceptor& acceptor);

    template <class F> auto locked(F&& f) const {
        std::lock_guard lock(mutex);
        return f();
    }
    // Runs on the queue and waits, or at once when already on it.
    template <class F> auto onQueue(F&& f) {
        if (queue->isCurrent()) return f();
        return queue->syncResult(std::forward<F>(f));
    }
};

TCPServer::TCPServer() : state_(std::make_shared<State>()) {}

TCPServer::~TCPServer() {
    // Accept handlers hold the state, not the server: closing the sockets on the queue ends them.
    auto state = state_;
    if (state->queue->isCurrent()) {
        state->stopListening();
    } else {
        state->queue->async([state] { state->stopListening(); });
    }
}

std::shared_ptr<TCPServerDelegate> TCPServer::delegate() const {
    return state_->locked([&] { return state_->delegate.lock(); });
}
void TCPServer::setDelegate(std::weak_ptr<TCPServerDelegate> delegate) {
    state_->locked([&] { state_->delegate = std::move(delegate); });
}
std::optional<std::string> TCPServer::domain() const {
    return state_->locked([&] { return state_->domain; });
}
void TCPServer::setDomain(std::optional<std::string> domain) {
    state_->locked([&] { state_->domain = std::move(domain); });
}
std::optional<std::string> TCPServer::name() const {
    return state_->locked([&] { return state_->name; });
}
void TCPServer::setName(std::optional<std::string> name) {
    state_->locked([&] { state_->name = std::move(name); });
}
std::optional<std::string> TCPServer::type() const {
    return state_->locked([&] { return state_->type; });
}
void TCPServer::setType(std::optional<std::string> type) {
    state_->locked([&] { state_->type = std::move(type); });
}
std::uint16_t TCPServer::port() const {
    return state_->locked([&] { return state_->port; });
}
void TCPServer::setPort(std::uint16_t port) {
    state_->locked([&] { state_->port = port; });
}

bool TCPServer::start(OptionalError* error) {
    auto state = state_;
    std::weak_ptr<TCPServer> owner = weak_from_this();
    return state->onQueue([state, owner, error] { return state->start(owner, error); });
}

bool TCPServer::stop() {
    auto state = state_;
    state->onQueue([state] { state->stopListening(); });
    return true;
}

bool TCPServer::hasIPv4Socket() const {
    return state_->hasV4.load();
}
bool TCPServer::hasIPv6Socket() const {
    return state_->hasV6.load();
}
const std::shared_ptr<platform::DispatchQueue>& TCPServer::queue() const {
    return state_->queue;
}

void TCPServer::handleNewConnectionFromAddress(const PeerAddress& address, tcp::socket socket) {
    platform::DispatchQueue::main()->async([owner = weak_from_this(), address, socket = std::move(socket)]() mutable {
        auto server = owner.lock();
        if (!server) return;
        if (auto delegate = server->delegate()) {
            delegate->TCPServerDidReceiveConnectionFromAddress(*server, address, std::move(socket));
        }
    });
}

bool TCPServer::State::start(const std::weak_ptr<TCPServer>& owner, OptionalError* error) {
    stopListening();
    auto executor = queue->executor();
    auto v4socket = std::make_unique<tcp::acceptor>(executor);
    auto v6socket = std::make_unique<tcp::acceptor>(executor);
    asio::error_code ec4, ec6;
    v4socket->open(tcp::v4(), ec4);
    // A system without IPv6 cannot make the second socket: that is taken like a failed bind.
    v6socket->open(tcp::v6(), ec6);
    if (ec4 && ec6) {
        if (error) *error = Error(std::string(kTCPServerErrorDomain), TCPServerErrorCode::noSocketsAvailable);
        return false;
    }
    std::uint16_t wanted = locked([&] { return port; });
    auto bind = [&](std::unique_ptr<tcp::acceptor>& acceptor, const asio::ip::address& address) {
        if (!acceptor->is_open()) {
            acceptor.reset();
            return;
        }
        asio::error_code ec;
        acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        if (address.is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
        acceptor->bind(tcp::endpoint(address, wanted), ec);
        if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            acceptor.reset();
            return;
        }
        if (wanted == 0) wanted = acceptor->local_endpoint(ec).port();
    };
    bind(v4socket, asio::ip::make_address_v4("127.0.0.1"));
    bind(v6socket, asio::ip::make_address_v6("::1"));
    if (!v4socket && !v6socket) {
        if (error) *error = Error(std::string(kTCPServerErrorDomain), TCPServerErrorCode::couldNotBindToIPv4Address);
        return false;
    }
    locked([&] { port = wanted; });
    v4 = std::move(v4socket);
    v6 = std::move(v6socket);
    hasV4 = v4 != nullptr;
    hasV6 = v6 != nullptr;
    if (v4) accept(owner, *v4);
    if (v6) accept(owner, *v6);
    return true;
}

void TCPServer::State::accept(const std::weak_ptr<TCPServer>& owner, tcp::acceptor& acceptor) {
    auto self = shared_from_this();
    acceptor.async_accept([self, owner, &acceptor](asio::error_code ec, tcp::socket socket) {
        // A closed acceptor is gone (it is compared, never touched).
        auto listening = [&] { return &acceptor == self->v4.get() || &acceptor == self->v6.get(); };
        if (ec == asio::error::operation_aborted || !listening()) return;
        if (!ec) {
            // A server being released takes no more connections; the socket closes here.
            if (auto server = owner.lock()) {
                asio::error_code peerError;
                auto endpoint = socket.remote_endpoint(peerError);
                server->handleNewConnectionFromAddress(peerError ? PeerAddress() : PeerAddress(endpoint),
                                                       std::move(socket));
            }
            // Letting go of the server may have released it, which closes its acceptors on this queue.
            if (!listening()) return;
        }
        self->accept(owner, acceptor);
    });
}

void TCPServer::State::stopListening() {
    asio::error_code ec;
    if (v4) v4->close(ec);
    if (v6) v6->close(ec);
    v4.reset();
    v6.reset();
    hasV4 = false;
    hasV6 = false;
}

}  // namespace brisko::oauth
