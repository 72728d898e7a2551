// Request body streams read on their own queue into a bounded buffer.
#include "platform/net/URLSessionBodyStream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brisko::platform::detail {

namespace {
constexpr std::string_view kBodyStreamQueueLabel = "com.brisko.URLSession.bodyStream";
}

URLSessionBodyStream::URLSessionBodyStream(std::shared_ptr<InputStream> stream, std::optional<std::int64_t> length,
                                           std::function<void()> wake)
    : stream_(std::move(stream)), length_(length), wake_(std::move(wake)),
      queue_(DispatchQueue::make(std::string(kBodyStreamQueueLabel))) {}

void URLSessionBodyStream::start() {
    std::lock_guard lock(mutex_);
    scheduleLocked();
}

void URLSessionBodyStream::scheduleLocked() {
    if (reading_ || stopped_ || ended_ || error_ || buffered_ >= kCapacity) return;
    reading_ = true;
    queue_->async([self = shared_from_this()] { self->readMore(); });
}

void URLSessionBodyStream::readMore() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            reading_ = false;
            return;
        }
    }
    std::optional<Error> error;
    bool ended = false;
    Data chunk;
    if (!opened_) {
        opened_ = true;
        stream_->open();
        if (stream_->streamStatus() == StreamStatus::error)
            error = stream_->streamError() ? *stream_->streamError() : Error::posix(EIO);
    }
    if (!error) {
        chunk.resize(kReadSize);
        const std::int64_t n = stream_->read(chunk.data(), chunk.size());
        if (n < 0) {
            error = stream_->streamError() ? *stream_->streamError() : Error::posix(EIO);
            chunk.clear();
        } else {
            chunk.resize(static_cast<std::size_t>(n));
            ended = n == 0;
        }
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        reading_ = false;
        if (stopped_) return;
        if (error) error_ = std::move(error);
        if (ended) ended_ = true;
        if (!chunk.empty()) {
            buffered_ += chunk.size();
            chunks_.push_back(std::move(chunk));
        }
        // With an announced length, what lies beyond it is never sent: stop reading there.
        if (length_ && taken_ + static_cast<std::int64_t>(buffered_) >= *length_) ended_ = true;
        wake = waiting_;
        waiting_ = false;
        scheduleLocked();
    }
    if (wake) wake_();
}

URLSessionBodyStream::Taken URLSessionBodyStream::take(char* buffer, std::size_t max) {
    std::lock_guard lock(mutex_);
    Taken out;
    if (length_)
        max = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(max), *length_ - taken_));
    if (length_ && taken_ >= *length_) {
        out.state = State::end;
        return out;
    }
    if (buffered_ == 0) {
        if (error_) {
            out.state = State::failed;
            out.error = error_;
        } else if (ended_) {
            out.state = length_ ? State::shortBody : State::end;
        } else {
            waiting_ = true;
            scheduleLocked();
        }
        return out;
    }
    while (out.count < max && !chunks_.empty()) {
        Data& front = chunks_.front();
        const std::size_t n = std::min(max - out.count, front.size() - frontOffset_);
        std::memcpy(buffer + out.count, front.data() + frontOffset_, n);
        out.count += n;
        frontOffset_ += n;
        if (frontOffset_ == front.size()) {
            chunks_.pop_front();
            frontOffset_ = 0;
        }
    }
    buffered_ -= out.count;
    taken_ += static_cast<std::int64_t>(out.count);
    out.state = State::bytes;
    // Refill once half the room is free, so reads overlap with sending.
    if (buffered_ <= kCapacity / 2) scheduleLocked();
    return out;
}

std::int64_t URLSessionBodyStream::taken() const {
    std::lock_guard lock(mutex_);
    return taken_;
}

std::size_t URLSessionBodyStream::buffered() const {
    std::lock_guard lock(mutex_);
    return buffered_;
}

void URLSessionBodyStream::stop() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    chunks_.clear();
    buffered_ = 0;
    queue_->async([stream = stream_] { stream->close(); });
}

}  // namespace brisko::platform::detail
