// A request of the loopback HTTP server and its response, set from any thread.
#include "oauth/HTTPServerRequest.hpp"

#include "oauth/HTTPConnection.hpp"

namespace brisko::oauth {

HTTPServerRequest::HTTPServerRequest(HTTPMessage request, std::shared_ptr<HTTPConnection> connection)
    : request_(std::move(request)), connection_(std::move(connection)) {}

std::optional<HTTPMessage> HTTPServerRequest::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

std::shared_ptr<platform::InputStream> HTTPServerRequest::responseBodyStream() const {
    std::lock_guard lock(mutex_);
    return responseStream_;
}

void HTTPServerRequest::setResponse(std::optional<HTTPMessage> response) {
    {
        std::lock_guard lock(mutex_);
        if (writing_) return;  // the bytes already sent cannot be taken back
        response_ = std::move(response);
        if (!response_) return;
    }
    // Written on the connection's queue, never inline: the caller may be the connection itself.
    auto connection = connection_;
    connection->queue_->async([connection] { connection->processOutgoingBytes(); });
}

void HTTPServerRequest::setResponseBodyStream(std::shared_ptr<platform::InputStream> stream) {
    std::lock_guard lock(mutex_);
    if (writing_) return;  // the connection reads the stream it took
    responseStream_ = std::move(stream);
}

std::optional<HTTPServerRequest::Outgoing> HTTPServerRequest::beginWriting() {
    std::lock_guard lock(mutex_);
    if (!response_) return std::nullopt;
    writing_ = true;
    return Outgoing{*response_, responseStream_};
}

bool HTTPServerRequest::hasResponse() const {
    std::lock_guard lock(mutex_);
    return response_.has_value();
}

}  // namespace brisko::oauth
