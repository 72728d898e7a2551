// A readable stream of bytes (from memory, a file or a caller's own source), read in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

enum class StreamStatus {
    notOpen = 0,
    opening = 1,
    open = 2,
    reading = 3,
    writing = 4,
    atEnd = 5,
    closed = 6,
    error = 7
};

// Used by one thread at a time (it may move between threads, as a URL session's body reader does).
// A source of its own derives from it and implements readSource (and openSource/closeSource when it
// holds resources); the stream keeps the status and the error.
class InputStream {
public:
    static std::shared_ptr<InputStream> inputStreamWithData(Data data);
    // A file URL's file (nothing for another kind of URL); a missing file fails on open().
    static std::shared_ptr<InputStream> inputStreamWithURL(const URL& url);
    static std::shared_ptr<InputStream> inputStreamWithFileAtPath(std::string path);

    virtual ~InputStream() = default;

    void open();
    // Bytes read (> 0), 0 at the end, -1 on an error (streamError() says which) or when not open.
    std::int64_t read(std::uint8_t* buffer, std::size_t maxLength);
    // Whether a read may give bytes (true until the end or an error is met).
    bool hasBytesAvailable() const;
    StreamStatus streamStatus() const { return status_; }
    const std::optional<Error>& streamError() const { return error_; }
    void close();

protected:
    InputStream() = default;
    virtual std::optional<Error> openSource() { return std::nullopt; }
    // Bytes read (> 0), 0 at the end; on a failure sets `error` and returns -1.
    virtual std::int64_t readSource(std::uint8_t* buffer, std::size_t maxLength, std::optional<Error>& error) = 0;
    virtual void closeSource() {}

private:
    StreamStatus status_ = StreamStatus::notOpen;
    std::optional<Error> error_;
};

}  // namespace brisko::platform
