// Internal: a request body stream read off the network thread into a bounded buffer for libcurl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/InputStream.hpp"

namespace brisko::platform::detail {

// A stream may block on every read, so it is read on a queue of its own, never on the network thread;
// at most kCapacity bytes wait in memory, however long the stream. The network thread takes bytes
// without waiting: when none are there it pauses the transfer, and `wake` tells it to go on.
class URLSessionBodyStream : public std::enable_shared_from_this<URLSessionBodyStream> {
public:
    static constexpr std::size_t kCapacity = 256 * 1024;
    static constexpr std::size_t kReadSize = 64 * 1024;

    enum class State { bytes, end, wait, failed, shortBody };
    struct Taken {
        State state = State::wait;
        std::size_t count = 0;
        std::optional<Error> error;  // the stream's, for failed
    };

    // `length`: the announced body length (nothing for a chunked body); more bytes are not sent, fewer
    // are a short body. `wake` runs on the reader queue after take() answered wait and something
    // (bytes, the end or an error) arrived.
    URLSessionBodyStream(std::shared_ptr<InputStream> stream, std::optional<std::int64_t> length,
                         std::function<void()> wake);

    // Opens the stream and starts filling the buffer.
    void start();
    // Network thread: up to `max` bytes into `buffer`.
    Taken take(char* buffer, std::size_t max);
    // Bytes handed out so far; a body nothing was taken from can still be sent from its start.
    std::int64_t taken() const;
    // No more reads; the stream is closed on the reader queue.
    void stop();
    // Bytes waiting in memory (for checks of the bound).
    std::size_t buffered() const;

private:
    void readMore();
    void scheduleLocked();

    const std::shared_ptr<InputStream> stream_;
    const std::optional<std::int64_t> length_;
    const std::function<void()> wake_;
    const std::shared_ptr<DispatchQueue> queue_;

    mutable std::mutex mutex_;
    std::deque<Data> chunks_;
    std::size_t frontOffset_ = 0;
    std::size_t buffered_ = 0;
    std::int64_t taken_ = 0;
    bool opened_ = false;
    bool reading_ = false;  // a read is queued or running
    bool ended_ = false;
    bool stopped_ = false;
    bool waiting_ = false;  // the network side found nothing and waits for `wake`
    std::optional<Error> error_;
};

}  // namespace brisko::platform::detail
