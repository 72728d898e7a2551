// The loopback HTTP server: making, listing and limiting the connections of the TCP server.
#include "oauth/HTTPServer.hpp"

namespace brisko::oauth {

using asio::ip::tcp;

std::shared_ptr<HTTPServer> HTTPServer::make(HTTPServerLimits limits) {
    return std::make_shared<HTTPServer>(limits);
}

HTTPServer::HTTPServer(HTTPServerLimits limits) : limits_(limits) {
    setConnectionClass<HTTPConnection>();
}

HTTPServer::~HTTPServer() {
    // Idle connections close now; those with queued requests finish their responses first. Nothing on
    // the queue touches the list while the server is being released (the queue's work holds the server).
    auto work = [connections = std::move(connections_)] {
        for (const auto& c : connections) {
            if (c->isIdle()) {
                c->invalidateOnQueue();
            } else {
                c->inputEnded_ = true;
            }
        }
    };
    if (queue()->isCurrent()) {
        work();
    } else {
        queue()->async(std::move(work));
    }
}

HTTPServer::ConnectionClass HTTPServer::connectionClass() const {
    std::lock_guard lock(mutex_);
    return connClass_;
}

void HTTPServer::setConnectionClass(ConnectionClass connectionClass) {
    std::lock_guard lock(mutex_);
    connClass_ = std::move(connectionClass);
}

std::vector<std::shared_ptr<HTTPConnection>> HTTPServer::connections() const {
    if (queue()->isCurrent()) return connections_;
    return queue()->syncResult([this] { return connections_; });
}

void HTTPServer::removeConnection(const std::shared_ptr<HTTPConnection>& connection) {
    if (queue()->isCurrent()) {
        removeConnection(connection.get());
        return;
    }
    auto self = std::static_pointer_cast<HTTPServer>(shared_from_this());
    queue()->async([self, connection] { self->removeConnection(connection.get()); });
}

void HTTPServer::removeConnection(const HTTPConnection* connection) {
    std::erase_if(connections_, [connection](const auto& c) { return c.get() == connection; });
    connectionCount_ = connections_.size();
}

bool HTTPServer::makeRoom() {
    if (connections_.size() < limits_.maxConnections) return true;
    // Give the place of the connection that has waited longest for a request (idle, or with one that has
    // not arrived whole) to the newcomer: a redirect from the browser must not be shut out by connections
    // that send nothing, or send it a byte at a time.
    std::shared_ptr<HTTPConnection> victim;
    for (const auto& c : connections_) {
        auto since = c->waitingForRequestSince();
        if (since && (!victim || *since < *victim->waitingForRequestSince())) victim = c;
    }
    if (!victim) return false;
    victim->invalidateOnQueue();
    return connections_.size() < limits_.maxConnections;
}

void HTTPServer::handleNewConnectionFromAddress(const PeerAddress& address, tcp::socket socket) {
    if (!makeRoom()) {
        asio::error_code ec;
        socket.close(ec);
        return;
    }
    auto self = std::static_pointer_cast<HTTPServer>(shared_from_this());
    auto make = connectionClass();
    auto connection = make ? make(address, std::move(socket), self) : nullptr;
    if (!connection) return;
    connections_.push_back(connection);
    connectionCount_ = connections_.size();
    auto delegate = this->delegate();
    // A delegate that does not answer requests leaves them to the connection's default handling.
    connection->setDelegate(std::dynamic_pointer_cast<HTTPConnectionDelegate>(delegate));
    connection->open();
    if (auto serverDelegate = std::dynamic_pointer_cast<HTTPServerDelegate>(delegate)) {
        platform::DispatchQueue::main()->async(
            [weakServer = std::weak_ptr<HTTPServer>(self), weakDelegate = std::weak_ptr(serverDelegate), connection] {
                auto server = weakServer.lock();
                auto delegate = weakDelegate.lock();
                if (server && delegate) delegate->HTTPServerDidMakeNewConnection(*server, connection);
            });
    }
}

}  // namespace brisko::oauth
