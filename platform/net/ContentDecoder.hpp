// Internal: decoding a response body sent with "Content-Encoding: gzip" or "deflate", piece by piece.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace brisko::platform::detail {

// One body's decoder. The session decodes bodies itself (rather than leaving it to libcurl) so that a
// compressed body that stops short or is not what it claims to be is an error, never data, and so that
// a small body inflating past the session's limit is stopped piece by piece.
class ContentDecoder {
public:
    // The encodings the session asks servers for ("Accept-Encoding").
    static constexpr std::string_view kAcceptedEncodings = "gzip, deflate";

    // The decoder for a "Content-Encoding" value: nullptr for none or "identity". A value naming an
    // encoding the session cannot decode gives a decoder that fails on the first byte.
    static std::unique_ptr<ContentDecoder> forContentEncoding(std::string_view contentEncoding);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Receives each decoded piece; answers false to stop decoding (the caller knows why).
    using Sink = std::function<bool(const char* data, std::size_t length)>;
    enum class Result { ok, stopped, corrupt };
    // Decodes the next encoded bytes, handing the output on in pieces of at most 64 KiB.
    Result decode(const char* data, std::size_t length, const Sink& sink);
    // Whether the body stopped before the end of its compressed stream: bytes came, the stream did not end.
    bool isTruncated() const { return receivedAny_ && !ended_; }
    // Why the last decode answered corrupt.
    const std::string& problem() const { return problem_; }

private:
    enum class Kind { gzip, deflate, unsupported };
    explicit ContentDecoder(Kind kind, std::string encoding);
    bool start(int windowBits);

    Kind kind_;
    std::string encoding_;
    z_stream stream_{};
    bool initialised_ = false;
    bool receivedAny_ = false;
    bool producedAny_ = false;
    bool ended_ = false;
    bool triedRawDeflate_ = false;
    std::string problem_;
};

}  // namespace brisko::platform::detail
