// One connection accepted by the loopback HTTP server: it reads HTTP/1.1 requests, queues them, hands
// each to its delegate on the main queue and writes the responses back in the order of the requests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "oauth/HTTPMessage.hpp"
#include "oauth/HTTPServerRequest.hpp"
#include "oauth/TCPServer.hpp"

namespace brisko::oauth {

class HTTPConnection;
class HTTPServer;

// Messages of a connection, delivered on the main queue.
class HTTPConnectionDelegate {
public:
    virtual ~HTTPConnectionDelegate() = default;
    // Answer by setting the request's response (at once or later).
    virtual void HTTPConnectionDidReceiveRequest(const std::shared_ptr<HTTPConnection>& connection,
                                                 const std::shared_ptr<HTTPServerRequest>& request) = 0;
    // The whole response of the request, body included, has been handed to the socket.
    virtual void HTTPConnectionDidSendResponse(const std::shared_ptr<HTTPConnection>& /*connection*/,
                                               const std::shared_ptr<HTTPServerRequest>& /*request*/) {}
};

// Its work runs on the server's queue. It closes when the peer has ended its side and every response is
// written, when it stays idle past the server's limit, when a request does not arrive whole in time (after
// a 408), when the server needs its place for a new connection while it waits for a request, or when a
// response cannot be written whole.
class HTTPConnection : public std::enable_shared_from_this<HTTPConnection> {
public:
    // The server's connection class makes it; the server starts it.
    HTTPConnection(PeerAddress peerAddress, asio::ip::tcp::socket socket, const std::shared_ptr<HTTPServer>& server);
    virtual ~HTTPConnection() = default;
    HTTPConnection(const HTTPConnection&) = delete;
    HTTPConnection& operator=(const HTTPConnection&) = delete;

    std::shared_ptr<HTTPConnectionDelegate> delegate() const;
    void setDelegate(std::weak_ptr<HTTPConnectionDelegate> delegate);
    const PeerAddress& peerAddress() const { return peerAddress_; }
    std::shared_ptr<HTTPServer> server() const { return server_.lock(); }
    bool isValid() const { return valid_.load(); }

    // The first queued request that has no response yet.
    std::shared_ptr<HTTPServerRequest> nextRequest() const;
    // Closes the connection; queued requests are dropped unanswered.
    void invalidate();

protected:
    // Answers a request when there is no delegate to: 500 for HTTP/1.1, 505 with the request's own
    // version otherwise, both with an empty body. Runs on the server's queue (or on the main queue when
    // the delegate went away before it could answer).
    virtual void performDefaultRequestHandling(const std::shared_ptr<HTTPServerRequest>& request);

private:
    friend class HTTPServer;
    friend class HTTPServerRequest;

    // Everything below runs on the server's queue.
    void open();
    void read();
    void processIncomingBytes(std::size_t count);
    void enqueue(HTTPMessage message);
    void refuse(int status);
    void processOutgoingBytes();
    void write();
    void finishResponse();
    void failResponse(std::string_view reason);
    void armIdleTimer();
    void armRequestTimer();
    void invalidateOnQueue();
    bool isIdle() const;
    bool hasQueuedRequests() const;
    // Since when it has waited for a request, with nothing to answer or write: since its last activity
    // when idle, since the first byte of a request that has not arrived whole. Nothing while it is busy.
    std::optional<std::chrono::steady_clock::time_point> waitingForRequestSince() const;

    const PeerAddress peerAddress_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer idleTimer_;
    asio::steady_timer requestTimer_;  // the deadline of the request being received
    const std::weak_ptr<HTTPServer> server_;
    const std::shared_ptr<platform::DispatchQueue> queue_;
    const std::chrono::milliseconds idleTimeout_;
    const std::chrono::milliseconds requestTimeout_;

    mutable std::mutex mutex_;  // the delegate and the request queue
    std::weak_ptr<HTTPConnectionDelegate> delegate_;
    std::deque<std::shared_ptr<HTTPServerRequest>> requests_;

    HTTPRequestParser parser_;
    std::vector<std::uint8_t> ibuffer_;  // one read's bytes; the parser keeps what it has not taken
    Data obuffer_;
    bool reading_ = false;
    bool writing_ = false;
    bool inputEnded_ = false;  // the peer ended its side, or the connection stopped reading for good
    std::atomic<bool> valid_{true};
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
    // The first byte of the request being received, while one is (its deadline is armed from it).
    std::optional<std::chrono::steady_clock::time_point> requestStarted_;

    // The response at the head of the queue while it is being written.
    bool firstResponseDone_ = false;
    std::shared_ptr<platform::InputStream> bodyStream_;
    std::optional<std::uint64_t> bodyRemaining_;  // stream bytes still due under "Content-Length"
    bool closeAfterResponse_ = false;
};

}  // namespace brisko::oauth
