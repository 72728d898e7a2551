// The loopback HTTP server on Asio: listening sockets, connections, request queues and bounded buffers.
#include "oauth/HTTPServer.hpp"

#include <array>
#include <atomic>

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Log.hpp"

namespace brisko::oauth {

using asio::ip::tcp;

namespace {

constexpr std::size_t kReadChunk = 16384;
// Requests queued on one connection before it stops reading (a pipelining flood waits its turn).
constexpr std::size_t kMaxQueuedRequests = 8;
constexpr std::string_view kQueueLabel = "com.brisko.oauth.loopbackListener";

HTTPMessage plainResponse(int status, std::string version = std::string(kHTTPVersion1_1)) {
    HTTPMessage response = HTTPMessage::response(status, std::move(version));
    response.setHeaderFieldValue("Content-Length", "0");
    return response;
}

}  // namespace

// The server's state; touched on its serial queue, except the flags and counters read from anywhere.
struct HTTPServer::Impl : std::enable_shared_from_this<HTTPServer::Impl> {
    HTTPServerLimits limits;
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::make(std::string(kQueueLabel));
    std::weak_ptr<HTTPServer> owner;

    mutable std::mutex mutex;
    std::weak_ptr<HTTPServerDelegate> delegate;
    std::uint16_t port = 0;

    std::unique_ptr<tcp::acceptor> v4, v6;
    std::atomic<bool> hasV4{false}, hasV6{false};
    std::vector<std::shared_ptr<HTTPConnection>> connections;
    std::atomic<std::size_t> connectionCount{0};

    bool start(OptionalError* error);
    void stopListening();
    void shutdown();
    void accept(tcp::acceptor& acceptor);
    void handleNewConnection(tcp::socket socket);
    void removeConnection(const HTTPConnection::Impl* connection);
    bool makeRoom();

    // Runs on the queue and waits, or at once when already on it.
    template <class F>
    auto onQueue(F&& f) {
        if (queue->isCurrent()) return f();
        return queue->syncResult(std::forward<F>(f));
    }
};

struct HTTPConnection::Impl : std::enable_shared_from_this<HTTPConnection::Impl> {
    Impl(tcp::socket s, std::shared_ptr<HTTPServer::Impl> srv, const HTTPServerLimits& limits)
        : socket(std::move(s)),
          idleTimer(socket.get_executor()),
          server(srv),
          queue(srv->queue),
          delegate(srv->delegate),
          idleTimeout(limits.idleTimeout),
          parser(limits.maxRequestSize) {
        asio::error_code ec;
        auto endpoint = socket.remote_endpoint(ec);
        if (!ec) peer = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
        auto local = socket.local_endpoint(ec);
        if (!ec) {
            auto address = local.address();
            hostForURL = address.is_v6() ? "[" + address.to_string() + "]:" + std::to_string(local.port())
                                         : address.to_string() + ":" + std::to_string(local.port());
        }
    }

    tcp::socket socket;
    asio::steady_timer idleTimer;
    std::weak_ptr<HTTPServer::Impl> server;
    std::shared_ptr<platform::DispatchQueue> queue;
    std::weak_ptr<HTTPServerDelegate> delegate;
    std::weak_ptr<HTTPConnection> owner;
    std::chrono::milliseconds idleTimeout;
    HTTPRequestParser parser;
    std::optional<std::string> peer;
    std::string hostForURL;

    std::array<std::uint8_t, kReadChunk> readBuffer{};
    std::deque<std::shared_ptr<HTTPServerRequest>> requests;
    Data writeBuffer;
    bool reading = false;
    bool writing = false;
    bool inputEnded = false;       // the peer ended its side, or the connection stopped reading for good
    std::atomic<bool> valid{true};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

    void start();
    void read();
    void processIncomingBytes(std::size_t count);
    void enqueue(HTTPMessage message);
    void refuse(int status);
    void processOutgoingBytes();
    void armIdleTimer();
    void invalidate();
    bool isIdle() const { return requests.empty() && parser.bufferedBytes() == 0; }
};

// HTTPServerRequest

std::optional<HTTPMessage> HTTPServerRequest::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

void HTTPServerRequest::setResponse(HTTPMessage response) {
    {
        std::lock_guard lock(mutex_);
        if (response_) return;  // answered once
        response_ = std::move(response);
    }
    auto impl = connection_->impl();
    impl->queue->async([impl] { impl->processOutgoingBytes(); });
}

// HTTPServer

std::shared_ptr<HTTPServer> HTTPServer::make(HTTPServerLimits limits) {
    auto server = std::make_shared<HTTPServer>(limits);
    server->impl_->owner = server;
    return server;
}

HTTPServer::HTTPServer(HTTPServerLimits limits) : impl_(std::make_shared<Impl>()) { impl_->limits = limits; }

HTTPServer::~HTTPServer() { impl_->shutdown(); }

std::shared_ptr<HTTPServerDelegate> HTTPServer::delegate() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->delegate.lock();
}

void HTTPServer::setDelegate(std::weak_ptr<HTTPServerDelegate> delegate) {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
}

std::uint16_t HTTPServer::port() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->port;
}

void HTTPServer::setPort(std::uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    impl_->port = port;
}

bool HTTPServer::start(OptionalError* error) {
    auto impl = impl_;
    return impl->onQueue([impl, error] { return impl->start(error); });
}

bool HTTPServer::stop() {
    auto impl = impl_;
    impl->onQueue([impl] { impl->stopListening(); });
    return true;
}

bool HTTPServer::hasIPv4Socket() const { return impl_->hasV4.load(); }
bool HTTPServer::hasIPv6Socket() const { return impl_->hasV6.load(); }
std::size_t HTTPServer::connectionCount() const { return impl_->connectionCount.load(); }

bool HTTPServer::Impl::start(OptionalError* error) {
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
    std::uint16_t wanted;
    {
        std::lock_guard lock(mutex);
        wanted = port;
    }
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
    {
        std::lock_guard lock(mutex);
        port = wanted;
    }
    v4 = std::move(v4socket);
    v6 = std::move(v6socket);
    hasV4 = v4 != nullptr;
    hasV6 = v6 != nullptr;
    if (v4) accept(*v4);
    if (v6) accept(*v6);
    return true;
}

void HTTPServer::Impl::accept(tcp::acceptor& acceptor) {
    auto self = shared_from_this();
    acceptor.async_accept([self, &acceptor](asio::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;  // the acceptor was closed
        bool listening = (&acceptor == self->v4.get()) || (&acceptor == self->v6.get());
        if (!listening) return;
        if (!ec) self->handleNewConnection(std::move(socket));
        self->accept(acceptor);
    });
}

bool HTTPServer::Impl::makeRoom() {
    if (connections.size() < limits.maxConnections) return true;
    // Give the place of the connection idle the longest to the newcomer: a redirect from the browser
    // must not be shut out by connections that send nothing.
    std::shared_ptr<HTTPConnection> victim;
    for (const auto& c : connections) {
        if (c->impl()->isIdle() && (!victim || c->impl()->lastActivity < victim->impl()->lastActivity)) victim = c;
    }
    if (!victim) return false;
    victim->impl()->invalidate();
    return connections.size() < limits.maxConnections;
}

void HTTPServer::Impl::handleNewConnection(tcp::socket socket) {
    if (!makeRoom()) {
        asio::error_code ec;
        socket.close(ec);
        return;
    }
    auto impl = std::make_shared<HTTPConnection::Impl>(std::move(socket), shared_from_this(), limits);
    auto connection = std::make_shared<HTTPConnection>(impl);
    impl->owner = connection;
    connections.push_back(connection);
    connectionCount = connections.size();
    impl->start();
    platform::DispatchQueue::main()->async([weakServer = owner, delegate = impl->delegate, connection] {
        auto server = weakServer.lock();
        auto d = delegate.lock();
        if (server && d) d->HTTPServerDidMakeNewConnection(*server, connection);
    });
}

void HTTPServer::Impl::removeConnection(const HTTPConnection::Impl* connection) {
    std::erase_if(connections, [connection](const auto& c) { return c->impl().get() == connection; });
    connectionCount = connections.size();
}

void HTTPServer::Impl::stopListening() {
    asio::error_code ec;
    if (v4) v4->close(ec);
    if (v6) v6->close(ec);
    v4.reset();
    v6.reset();
    hasV4 = false;
    hasV6 = false;
}

void HTTPServer::Impl::shutdown() {
    auto self = shared_from_this();
    auto work = [self] {
        self->stopListening();
        // Idle connections close now; those with queued requests finish their responses first.
        auto connections = self->connections;
        for (const auto& c : connections) {
            if (c->impl()->isIdle()) {
                c->impl()->invalidate();
            } else {
                c->impl()->inputEnded = true;
            }
        }
    };
    if (queue->isCurrent()) {
        work();
    } else {
        queue->async(std::move(work));
    }
}

// HTTPConnection

const std::optional<std::string>& HTTPConnection::peerAddress() const { return impl_->peer; }
bool HTTPConnection::isValid() const { return impl_->valid.load(); }
void HTTPConnection::invalidate() {
    auto impl = impl_;
    impl->queue->async([impl] { impl->invalidate(); });
}

void HTTPConnection::Impl::start() {
    armIdleTimer();
    read();
}

void HTTPConnection::Impl::armIdleTimer() {
    idleTimer.expires_after(idleTimeout);
    auto self = shared_from_this();
    idleTimer.async_wait([self](asio::error_code ec) {
        if (ec || !self->valid) return;
        // A connection waiting for the delegate's answer is not idle.
        if (self->requests.empty() && !self->writing) {
            self->invalidate();
        } else {
            self->armIdleTimer();
        }
    });
}

void HTTPConnection::Impl::read() {
    if (reading || inputEnded || !valid || requests.size() >= kMaxQueuedRequests) return;
    reading = true;
    auto self = shared_from_this();
    socket.async_read_some(asio::buffer(readBuffer), [self](asio::error_code ec, std::size_t count) {
        self->reading = false;
        if (!self->valid) return;
        if (ec) {
            // The peer ended its side (or the socket failed): answer what is queued, then close.
            self->inputEnded = true;
            if (self->requests.empty()) self->invalidate();
            return;
        }
        self->lastActivity = std::chrono::steady_clock::now();
        self->armIdleTimer();
        self->processIncomingBytes(count);
        self->read();
    });
}

void HTTPConnection::Impl::processIncomingBytes(std::size_t count) {
    auto state = parser.append(std::span(readBuffer.data(), count));
    while (state == HTTPRequestParser::State::complete) {
        enqueue(parser.take());
        state = parser.parse();
    }
    if (state == HTTPRequestParser::State::tooLarge) {
        refuse(413);
    } else if (state == HTTPRequestParser::State::malformed) {
        refuse(400);
    }
}

void HTTPConnection::Impl::enqueue(HTTPMessage message) {
    auto connection = owner.lock();
    if (!connection) return;
    auto request = std::make_shared<HTTPServerRequest>(std::move(message), connection);
    requests.push_back(request);
    auto d = delegate.lock();
    if (!d) {
        // No one to answer: 500 for HTTP/1.1, 505 for other versions.
        const auto& version = request->request().version();
        request->setResponse(version == kHTTPVersion1_1 ? plainResponse(500) : plainResponse(505, version));
        return;
    }
    platform::DispatchQueue::main()->async([weak = delegate, connection, request] {
        if (auto delegate = weak.lock()) {
            delegate->HTTPConnectionDidReceiveRequest(connection, request);
        } else {
            request->setResponse(plainResponse(500));
        }
    });
}

// Answers a request the parser refused and reads nothing more from the connection.
void HTTPConnection::Impl::refuse(int status) {
    inputEnded = true;
    auto connection = owner.lock();
    if (!connection) return;
    auto request = std::make_shared<HTTPServerRequest>(HTTPMessage::request("", "", std::string(kHTTPVersion1_1)),
                                                       connection);
    HTTPMessage response = plainResponse(status);
    response.setHeaderFieldValue("Connection", "close");
    requests.push_back(request);
    request->setResponse(std::move(response));
}

void HTTPConnection::Impl::processOutgoingBytes() {
    if (writing || !valid || requests.empty()) return;
    auto head = requests.front();
    auto response = head->response();
    if (!response) return;  // only the head is served: later answers wait their turn
    writing = true;
    writeBuffer = response->serializedMessage();
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(writeBuffer), [self, head](asio::error_code ec, std::size_t) {
        self->writing = false;
        self->writeBuffer.clear();
        if (!self->valid) return;
        if (ec) {
            self->invalidate();
            return;
        }
        self->requests.pop_front();
        if (auto connection = self->owner.lock()) {
            platform::DispatchQueue::main()->async([weak = self->delegate, connection, head] {
                if (auto d = weak.lock()) d->HTTPConnectionDidSendResponse(connection, head);
            });
        }
        if (self->inputEnded && self->requests.empty()) {
            self->invalidate();
            return;
        }
        self->processOutgoingBytes();
        self->read();
    });
}

void HTTPConnection::Impl::invalidate() {
    if (!valid.exchange(false)) return;
    asio::error_code ec;
    idleTimer.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    // Dropping the queue breaks the request -> connection references.
    requests.clear();
    if (auto srv = server.lock()) srv->removeConnection(this);
}

}  // namespace brisko::oauth
