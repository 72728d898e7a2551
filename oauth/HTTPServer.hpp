// A small HTTP/1.1 server on the loopback interface (127.0.0.1 and ::1, one port) for authorization
// redirects: connections read requests, hand them to a delegate on the main queue and write the responses
// back in order. Its buffers, connection count and idle time are bounded, so a local program that
// connects and stalls, or sends a flood, cannot hold the listener or its memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/HTTPMessage.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kTCPServerErrorDomain = "TCPServerErrorDomain";
namespace TCPServerErrorCode {
enum : std::int64_t {
    couldNotBindToIPv4Address = 1,
    couldNotBindToIPv6Address = 2,
    noSocketsAvailable = 3,
};
}  // namespace TCPServerErrorCode

class HTTPConnection;
class HTTPServer;
class HTTPServerRequest;

// Every message is delivered on the main queue.
class HTTPServerDelegate {
  public:
    virtual ~HTTPServerDelegate() = default;
    virtual void HTTPServerDidMakeNewConnection(HTTPServer& /*server*/,
                                                const std::shared_ptr<HTTPConnection>& /*connection*/) {}
    // Answer by setting the request's response (at once or later).
    virtual void HTTPConnectionDidReceiveRequest(const std::shared_ptr<HTTPConnection>& connection,
                                                 const std::shared_ptr<HTTPServerRequest>& request) = 0;
    virtual void HTTPConnectionDidSendResponse(const std::shared_ptr<HTTPConnection>& /*connection*/,
                                               const std::shared_ptr<HTTPServerRequest>& /*request*/) {}
};

// Limits of the server; the defaults suit a redirect listener.
struct HTTPServerLimits {
    std::size_t maxRequestSize = 64 * 1024;
    std::size_t maxConnections = 32;
    std::chrono::milliseconds idleTimeout{30'000};
};

// A request on a connection, with the response that answers it.
class HTTPServerRequest {
  public:
    // The request holds its connection, so a connection lives until its queued requests are answered,
    // even when the server is gone.
    HTTPServerRequest(HTTPMessage request, std::shared_ptr<HTTPConnection> connection)
        : request_(std::move(request)), connection_(std::move(connection)) {}

    const HTTPMessage& request() const { return request_; }
    const std::shared_ptr<HTTPConnection>& connection() const { return connection_; }
    std::optional<HTTPMessage> response() const;
    // Sets the response (once); the connection writes it when the requests before it have been answered.
    void setResponse(HTTPMessage response);

  private:
    HTTPMessage request_;
    std::shared_ptr<HTTPConnection> connection_;
    mutable std::mutex mutex_;
    std::optional<HTTPMessage> response_;
};

class HTTPServer : public std::enable_shared_from_this<HTTPServer> {
  public:
    static std::shared_ptr<HTTPServer> make(HTTPServerLimits limits = {});
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    std::shared_ptr<HTTPServerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<HTTPServerDelegate> delegate);
    // 0 lets the system choose; after start() the port bound.
    std::uint16_t port() const;
    void setPort(std::uint16_t port);

    // Listens on 127.0.0.1 and ::1 (on the port the first got); true when at least one listens. Errors
    // of kTCPServerErrorDomain: 3 when no socket can be made, 1 when neither address can be bound.
    bool start(OptionalError* error = nullptr);
    // Closes the listening sockets (connections already accepted finish their responses). Always true.
    bool stop();
    bool hasIPv4Socket() const;
    bool hasIPv6Socket() const;

    // Live connections.
    std::size_t connectionCount() const;

    struct Impl;
    explicit HTTPServer(HTTPServerLimits limits);

  private:
    std::shared_ptr<Impl> impl_;
};

// One accepted connection. Its work runs on the server's serial queue; it closes when the peer has
// ended its side and every response is written, when it stays idle past the limit, or when the server
// needs its place for a new connection while it is idle.
class HTTPConnection : public std::enable_shared_from_this<HTTPConnection> {
  public:
    struct Impl;
    explicit HTTPConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

    // The peer's address as text ("127.0.0.1:54321"), when known.
    const std::optional<std::string>& peerAddress() const;
    bool isValid() const;
    // Closes the connection at once.
    void invalidate();

    const std::shared_ptr<Impl>& impl() const { return impl_; }

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace brisko::oauth
