// One request received by the loopback HTTP server, with the response (and response body stream) that
// answers it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "oauth/HTTPMessage.hpp"
#include "platform/net/InputStream.hpp"

namespace brisko::oauth {

class HTTPConnection;

// Safe to use from any thread: the delegate answers on the main queue, the connection writes on its own.
class HTTPServerRequest {
public:
    // The request holds its connection, so a connection lives until its queued requests are answered,
    // even when the server is gone.
    HTTPServerRequest(HTTPMessage request, std::shared_ptr<HTTPConnection> connection);
    HTTPServerRequest(const HTTPServerRequest&) = delete;
    HTTPServerRequest& operator=(const HTTPServerRequest&) = delete;

    const std::shared_ptr<HTTPConnection>& connection() const { return connection_; }
    const HTTPMessage& request() const { return request_; }
    std::optional<HTTPMessage> response() const;
    std::shared_ptr<platform::InputStream> responseBodyStream() const;

    // Sets (or, with nothing, clears) the response; the connection writes it as soon as every request
    // before this one has been answered in full. Once its writing has begun the response is final and
    // later calls change nothing.
    void setResponse(std::optional<HTTPMessage> response);
    // A stream that supplies the body after the message's own body. Set it before the response, since
    // setting the response may start the writing at once. Without a "Content-Length" the body ends when
    // the connection closes, so the connection closes after it.
    void setResponseBodyStream(std::shared_ptr<platform::InputStream> stream);

private:
    friend class HTTPConnection;
    struct Outgoing {
        HTTPMessage response;
        std::shared_ptr<platform::InputStream> bodyStream;
    };
    // The response and its body stream, fixed from now on; nothing when there is no response yet.
    std::optional<Outgoing> beginWriting();
    bool hasResponse() const;

    const HTTPMessage request_;
    const std::shared_ptr<HTTPConnection> connection_;
    mutable std::mutex mutex_;
    std::optional<HTTPMessage> response_;
    std::shared_ptr<platform::InputStream> responseStream_;
    bool writing_ = false;
};

}  // namespace brisko::oauth
