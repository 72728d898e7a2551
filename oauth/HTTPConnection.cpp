// A connection of the loopback HTTP server on Asio: bounded reading, the request queue and writing the
// responses in order, bodies from streams included.
#include "oauth/HTTPConnection.hpp"

#include <algorithm>
#include <cctype>

#include <asio/write.hpp>

#include "oauth/HTTPServer.hpp"
#include "platform/base/Log.hpp"

namespace brisko::oauth {

using asio::ip::tcp;

namespace {

// Reads from the socket and pieces of a body stream go in chunks of this size.
constexpr std::size_t kChunkSize = 16384;
// Requests queued on one connection before it stops reading (a pipelining flood waits its turn).
constexpr std::size_t kMaxQueuedRequests = 8;
constexpr std::string_view kStreamErrorLog = "HTTPServer stream error: ";

HTTPMessage emptyResponse(int status, std::string version = std::string(kHTTPVersion1_1)) {
    HTTPMessage response = HTTPMessage::response(status, std::move(version));
    response.setHeaderFieldValue("Content-Length", "0");
    return response;
}

// A "Content-Length" value made only of digits (and not absurdly long).
std::optional<std::uint64_t> declaredLength(const std::optional<std::string>& value) {
    if (!value || value->empty() || value->size() > 18 ||
        !std::all_of(value->begin(), value->end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    return std::stoull(*value);
}

}  // namespace

HTTPConnection::HTTPConnection(PeerAddress peerAddress, tcp::socket socket, const std::shared_ptr<HTTPServer>& server)
    : peerAddress_(std::move(peerAddress)), socket_(std::move(socket)), idleTimer_(server->queue()->executor()),
      requestTimer_(server->queue()->executor()), server_(server), queue_(server->queue()),
      idleTimeout_(server->limits().idleTimeout), requestTimeout_(server->limits().requestTimeout),
      parser_(server->limits().maxRequestSize), ibuffer_(kChunkSize) {}

std::shared_ptr<HTTPConnectionDelegate> HTTPConnection::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void HTTPConnection::setDelegate(std::weak_ptr<HTTPConnectionDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<HTTPServerRequest> HTTPConnection::nextRequest() const {
    std::lock_guard lock(mutex_);
    for (const auto& request : requests_) {
        if (!request->hasResponse()) return request;
    }
    return nullptr;
}

void HTTPConnection::invalidate() {
    if (queue_->isCurrent()) {
        invalidateOnQueue();
        return;
    }
    queue_->async([self = shared_from_this()] { self->invalidateOnQueue(); });
}

void HTTPConnection::performDefaultRequestHandling(const std::shared_ptr<HTTPServerRequest>& request) {
    const auto& version = request->request().version();
    request->setResponse(version == kHTTPVersion1_1 ? emptyResponse(500) : emptyResponse(505, version));
}

bool HTTPConnection::hasQueuedRequests() const {
    std::lock_guard lock(mutex_);
    return !requests_.empty();
}

bool HTTPConnection::isIdle() const {
    return !writing_ && !hasQueuedRequests() && parser_.bufferedBytes() == 0;
}

std::optional<std::chrono::steady_clock::time_point> HTTPConnection::waitingForRequestSince() const {
    if (writing_ || hasQueuedRequests()) return std::nullopt;
    if (parser_.bufferedBytes() > 0 && requestStarted_) return requestStarted_;
    return lastActivity_;
}

void HTTPConnection::open() {
    armIdleTimer();
    read();
}

void HTTPConnection::armIdleTimer() {
    idleTimer_.expires_after(idleTimeout_);
    idleTimer_.async_wait([self = shared_from_this()](asio::error_code ec) {
        if (ec || !self->valid_) return;
        // Idle: nothing queued and nothing going out, or a peer that stopped reading what it asked for.
        // Waiting for the delegate's answer, or writing with progress, is not idleness.
        bool idle = self->writing_ ? std::chrono::steady_clock::now() - self->lastActivity_ >= self->idleTimeout_
                                   : !self->hasQueuedRequests();
        if (idle) {
            self->invalidateOnQueue();
        } else {
            self->armIdleTimer();
        }
    });
}

// The deadline of the request whose first byte has just arrived; later bytes do not move it.
void HTTPConnection::armRequestTimer() {
    requestStarted_ = std::chrono::steady_clock::now();
    requestTimer_.expires_after(requestTimeout_);
    requestTimer_.async_wait([self = shared_from_this(), started = *requestStarted_](asio::error_code ec) {
        // A deadline that was cancelled, or replaced by the next request's, after it fired is stale.
        if (ec || !self->valid_ || self->inputEnded_ || self->requestStarted_ != started) return;
        bool paused;
        {
            std::lock_guard lock(self->mutex_);
            paused = self->requests_.size() >= kMaxQueuedRequests;
        }
        if (paused) {
            // The rest of the request waits unread while earlier ones are answered: not the peer's delay.
            self->armRequestTimer();
            return;
        }
        self->refuse(408);
    });
}

void HTTPConnection::read() {
    {
        std::lock_guard lock(mutex_);
        if (requests_.size() >= kMaxQueuedRequests) return;
    }
    if (reading_ || inputEnded_ || !valid_) return;
    reading_ = true;
    socket_.async_read_some(asio::buffer(ibuffer_), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
        self->reading_ = false;
        if (!self->valid_) return;
        if (ec) {
            // The peer ended its side (or the socket failed): answer what is queued, then close.
            self->inputEnded_ = true;
            if (!self->hasQueuedRequests()) self->invalidateOnQueue();
            return;
        }
        // After a refusal the connection reads nothing more: these bytes are dropped with it.
        if (self->inputEnded_) return;
        self->lastActivity_ = std::chrono::steady_clock::now();
        self->armIdleTimer();
        self->processIncomingBytes(n);
        self->read();
    });
}

void HTTPConnection::processIncomingBytes(std::size_t count) {
    auto state = parser_.append(std::span(ibuffer_.data(), count));
    bool took = false;
    while (state == HTTPRequestParser::State::complete) {
        enqueue(parser_.take());
        took = true;
        state = parser_.parse();
    }
    if (parser_.bufferedBytes() == 0) {
        requestStarted_.reset();
        requestTimer_.cancel();
    } else if (took || !requestStarted_) {
        // The first bytes of a request (after a whole one, the start of the next): its deadline begins.
        armRequestTimer();
    }
    if (state == HTTPRequestParser::State::tooLarge) {
        refuse(413);
    } else if (state == HTTPRequestParser::State::malformed) {
        refuse(400);
    }
}

void HTTPConnection::enqueue(HTTPMessage message) {
    auto self = shared_from_this();
    auto request = std::make_shared<HTTPServerRequest>(std::move(message), self);
    std::weak_ptr<HTTPConnectionDelegate> weakDelegate;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        weakDelegate = delegate_;
    }
    if (weakDelegate.expired()) {
        performDefaultRequestHandling(request);
        return;
    }
    platform::DispatchQueue::main()->async([weakDelegate, self, request] {
        if (auto delegate = weakDelegate.lock()) {
            delegate->HTTPConnectionDidReceiveRequest(self, request);
        } else {
            // The delegate went away in the meantime: the request still gets an answer.
            self->performDefaultRequestHandling(request);
        }
    });
}

// Answers a request the parser refused and reads nothing more from the connection.
void HTTPConnection::refuse(int status) {
    inputEnded_ = true;
    auto request = std::make_shared<HTTPServerRequest>(HTTPMessage::request("", "", std::string(kHTTPVersion1_1)),
                                                       shared_from_this());
    HTTPMessage response = emptyResponse(status);
    response.setHeaderFieldValue("Connection", "close");
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    request->setResponse(std::move(response));
}

void HTTPConnection::processOutgoingBytes() {
    if (writing_ || !valid_) return;
    if (!firstResponseDone_) {
        // Only the head is served: a later answer waits until every earlier one is written in full.
        std::shared_ptr<HTTPServerRequest> head;
        {
            std::lock_guard lock(mutex_);
            if (requests_.empty()) return;
            head = requests_.front();
        }
        auto outgoing = head->beginWriting();
        if (!outgoing) return;
        firstResponseDone_ = true;
        bodyStream_ = std::move(outgoing->bodyStream);
        bodyRemaining_.reset();
        closeAfterResponse_ = false;
        HTTPMessage& response = outgoing->response;
        if (bodyStream_) {
            if (auto declared = declaredLength(response.headerFieldValue("Content-Length"))) {
                // The stream supplies what the message's own body leaves of the declared length, no more.
                std::uint64_t own = response.body().size();
                bodyRemaining_ = *declared > own ? *declared - own : 0;
            } else {
                // Without a length the end of the connection is the end of the body.
                closeAfterResponse_ = true;
                if (!response.headerFieldValue("Connection")) response.setHeaderFieldValue("Connection", "close");
            }
        }
        obuffer_ = response.serializedMessage();
        write();
        return;
    }
    if (bodyStream_ && (!bodyRemaining_ || *bodyRemaining_ > 0)) {
        if (bodyStream_->streamStatus() == platform::StreamStatus::notOpen) bodyStream_->open();
        std::size_t want = kChunkSize;
        if (bodyRemaining_) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *bodyRemaining_));
        obuffer_.resize(want);
        auto n = bodyStream_->read(obuffer_.data(), want);
        if (n < 0) {
            const auto& error = bodyStream_->streamError();
            failResponse(error ? error->description() : "the response body stream could not be read");
            return;
        }
        if (n > 0) {
            obuffer_.resize(static_cast<std::size_t>(n));
            if (bodyRemaining_) *bodyRemaining_ -= static_cast<std::uint64_t>(n);
            write();
            return;
        }
        obuffer_.clear();
        if (bodyRemaining_ && *bodyRemaining_ > 0) {
            failResponse("the response body stream ended " + std::to_string(*bodyRemaining_) +
                         " bytes short of its Content-Length");
            return;
        }
    }
    finishResponse();
}

void HTTPConnection::write() {
    writing_ = true;
    asio::async_write(socket_, asio::buffer(obuffer_), [self = shared_from_this()](asio::error_code ec, std::size_t) {
        self->writing_ = false;
        self->obuffer_.clear();
        if (!self->valid_) return;
        if (ec) {
            // The peer is gone: the rest of the response has nowhere to go.
            self->invalidateOnQueue();
            return;
        }
        self->lastActivity_ = std::chrono::steady_clock::now();
        self->processOutgoingBytes();
    });
}

void HTTPConnection::finishResponse() {
    std::shared_ptr<HTTPServerRequest> head;
    std::weak_ptr<HTTPConnectionDelegate> weakDelegate;
    {
        std::lock_guard lock(mutex_);
        if (requests_.empty()) return;
        head = requests_.front();
        requests_.pop_front();
        weakDelegate = delegate_;
    }
    firstResponseDone_ = false;
    if (bodyStream_) {
        bodyStream_->close();
        bodyStream_.reset();
    }
    auto self = shared_from_this();
    if (!weakDelegate.expired()) {
        platform::DispatchQueue::main()->async([weakDelegate, self, head] {
            if (auto delegate = weakDelegate.lock()) delegate->HTTPConnectionDidSendResponse(self, head);
        });
    }
    if (closeAfterResponse_ || (inputEnded_ && !hasQueuedRequests())) {
        invalidateOnQueue();
        return;
    }
    processOutgoingBytes();
    read();
}

// The response cannot be completed: the peer would wait for bytes that never come, or read the next
// response as the rest of this one, so the connection closes instead.
void HTTPConnection::failResponse(std::string_view reason) {
    platform::log(platform::LogLevel::error, "oauth", std::string(kStreamErrorLog) + std::string(reason));
    invalidateOnQueue();
}

void HTTPConnection::invalidateOnQueue() {
    if (!valid_.exchange(false)) return;
    auto self = shared_from_this();  // dropping the queue and leaving the server may release the last holder
    asio::error_code ec;
    idleTimer_.cancel();
    requestTimer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    if (bodyStream_) {
        bodyStream_->close();
        bodyStream_.reset();
    }
    // Dropping the queue breaks the request -> connection references.
    std::deque<std::shared_ptr<HTTPServerRequest>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(requests_);
    }
    dropped.clear();
    if (auto server = server_.lock()) server->removeConnection(this);
}

}  // namespace brisko::oauth
