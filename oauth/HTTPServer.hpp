// A small HTTP/1.1 server on the loopback interface for authorization redirects: a TCP server that turns
// every accepted connection into an HTTPConnection. Its buffers, connection count, idle time and the time
// a request may take to arrive are bounded, so a local program that connects and stalls, trickles its
// bytes or sends a flood cannot hold the listener or its memory.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "oauth/HTTPConnection.hpp"
#include "oauth/HTTPMessage.hpp"
#include "oauth/HTTPServerRequest.hpp"
#include "oauth/TCPServer.hpp"

namespace brisko::oauth {

class HTTPServer;

// One object usually receives the server's and its connections' messages: the server hands its delegate
// on to every connection it makes. Every message is delivered on the main queue.
class HTTPServerDelegate : public TCPServerDelegate, public HTTPConnectionDelegate {
public:
    virtual void HTTPServerDidMakeNewConnection(HTTPServer& /*server*/,
                                                const std::shared_ptr<HTTPConnection>& /*connection*/) {}
};

// Limits of the server; the defaults suit a redirect listener.
struct HTTPServerLimits {
    std::size_t maxRequestSize = 64 * 1024;
    std::size_t maxConnections = 32;
    std::chrono::milliseconds idleTimeout{30'000};
    // A request must arrive whole within this time of its first byte, however its bytes trickle in; else
    // it is answered 408 and the connection closes.
    std::chrono::milliseconds requestTimeout{10'000};
};

class HTTPServer : public TCPServer {
public:
    // Makes the connection for an accepted socket (HTTPConnection unless set otherwise).
    using ConnectionClass = std::function<std::shared_ptr<HTTPConnection>(
        PeerAddress address, asio::ip::tcp::socket socket, const std::shared_ptr<HTTPServer>& server)>;

    static std::shared_ptr<HTTPServer> make(HTTPServerLimits limits = {});
    explicit HTTPServer(HTTPServerLimits limits = {});
    ~HTTPServer() override;

    const HTTPServerLimits& limits() const { return limits_; }

    ConnectionClass connectionClass() const;
    void setConnectionClass(ConnectionClass connectionClass);
    template <std::derived_from<HTTPConnection> C> void setConnectionClass() {
        setConnectionClass([](PeerAddress address, asio::ip::tcp::socket socket,
                              const std::shared_ptr<HTTPServer>& server) -> std::shared_ptr<HTTPConnection> {
            return std::make_shared<C>(std::move(address), std::move(socket), server);
        });
    }

    // The live connections, oldest first.
    std::vector<std::shared_ptr<HTTPConnection>> connections() const;
    std::size_t connectionCount() const { return connectionCount_.load(); }
    // Takes the connection off the list (a connection does so itself when it closes).
    void removeConnection(const std::shared_ptr<HTTPConnection>& connection);

protected:
    // Makes the connection, lists it, gives it the server's delegate (when that one answers requests)
    // and tells the delegate; a plain TCP delegate message is not sent.
    void handleNewConnectionFromAddress(const PeerAddress& address, asio::ip::tcp::socket socket) override;

private:
    friend class HTTPConnection;
    bool makeRoom();                                          // on the queue
    void removeConnection(const HTTPConnection* connection);  // on the queue

    const HTTPServerLimits limits_;
    mutable std::mutex mutex_;
    ConnectionClass connClass_;
    // Touched on the queue only.
    std::vector<std::shared_ptr<HTTPConnection>> connections_;
    std::atomic<std::size_t> connectionCount_{0};
};

}  // namespace brisko::oauth
