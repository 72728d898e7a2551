// Decoding gzip and deflate response bodies with zlib, with truncated and corrupt streams as errors.
#include "platform/net/ContentDecoder.hpp"

#include <algorithm>
#include <vector>

#include "platform/net/HTTPHeaders.hpp"

#include "platform/base/Text.hpp"

namespace brisko::platform::detail {

namespace {
constexpr std::size_t kPieceSize = 64 * 1024;
// zlib's window bits: 15 with 16 added for a gzip wrapper, negative for raw deflate.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kZlibWindowBits = 15;
constexpr int kRawDeflateWindowBits = -15;
}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::forContentEncoding(std::string_view contentEncoding) {
    // A list of codings applied in order; one real coding (besides "identity") is decoded.
    std::vector<std::string> codings;
    std::string_view rest = contentEncoding;
    while (!rest.empty()) {
        auto comma = rest.find(',');
        auto coding = asciiLowercase(trimHTTPWhitespace(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (!coding.empty() && coding != "identity") codings.push_back(std::move(coding));
    }
    if (codings.empty()) return nullptr;
    Kind kind = Kind::unsupported;
    if (codings.size() == 1 && (codings[0] == "gzip" || codings[0] == "x-gzip")) kind = Kind::gzip;
    if (codings.size() == 1 && codings[0] == "deflate") kind = Kind::deflate;
    auto decoder = std::unique_ptr<ContentDecoder>(new ContentDecoder(kind, std::string(contentEncoding)));
    if (kind != Kind::unsupported && !decoder->start(kind == Kind::gzip ? kGzipWindowBits : kZlibWindowBits))
        decoder->kind_ = Kind::unsupported;
    return decoder;
}

ContentDecoder::ContentDecoder(Kind kind, std::string encoding) : kind_(kind), encoding_(std::move(encoding)) {}

ContentDecoder::~ContentDecoder() {
    if (initialised_) inflateEnd(&stream_);
}

bool ContentDecoder::start(int windowBits) {
    if (initialised_) inflateEnd(&stream_);
    stream_ = z_stream{};
    initialised_ = inflateInit2(&stream_, windowBits) == Z_OK;
    return initialised_;
}

ContentDecoder::Result ContentDecoder::decode(const char* data, std::size_t length, const Sink& sink) {
    if (length == 0) return Result::ok;
    const bool firstInput = !receivedAny_;
    receivedAny_ = true;
    if (kind_ == Kind::unsupported) {
        problem_ = format("the content encoding \"%@\" cannot be decoded", {sanitizeUTF8(encoding_.substr(0, 64))});
        return Result::corrupt;
    }
    unsigned char piece[kPieceSize];
    const auto* next = reinterpret_cast<const unsigned char*>(data);
    std::size_t left = length;
    while (left > 0) {
        if (ended_) {
            // Another gzip member may follow; anything else after the end of the stream is not the body.
            if (kind_ != Kind::gzip || !start(kGzipWindowBits)) {
                problem_ = "data follows the end of the compressed body";
                return Result::corrupt;
            }
            ended_ = false;
        }
        // zlib counts in 32 bits: a larger input goes in slices.
        const auto slice = static_cast<uInt>(std::min<std::size_t>(left, std::size_t{1} << 30));
        stream_.next_in = const_cast<unsigned char*>(next);
        stream_.avail_in = slice;
        int rc = Z_OK;
        while (rc == Z_OK && (stream_.avail_in > 0 || stream_.avail_out == 0)) {
            stream_.next_out = piece;
            stream_.avail_out = kPieceSize;
            rc = inflate(&stream_, Z_NO_FLUSH);
            if (rc == Z_DATA_ERROR && kind_ == Kind::deflate && firstInput && !producedAny_ && !triedRawDeflate_) {
                // Some servers send "deflate" as a bare deflate stream, without the zlib wrapper.
                triedRawDeflate_ = true;
                if (!start(kRawDeflateWindowBits)) break;
                next = reinterpret_cast<const unsigned char*>(data);
                left = length;
                stream_.next_in = const_cast<unsigned char*>(next);
                stream_.avail_in = slice;
                rc = Z_OK;
                continue;
            }
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                problem_ = format("the compressed body is damaged (%@)", {stream_.msg ? stream_.msg : "zlib error"});
                return Result::corrupt;
            }
            const std::size_t produced = kPieceSize - stream_.avail_out;
            if (produced > 0) {
                producedAny_ = true;
                if (!sink(reinterpret_cast<const char*>(piece), produced)) return Result::stopped;
            }
        }
        if (rc == Z_STREAM_END) ended_ = true;
        const std::size_t used = slice - stream_.avail_in;
        next += used;
        left -= used;
        if (used == 0 && !ended_) break;  // zlib wants no more of this input: cannot happen with Z_OK
    }
    return Result::ok;
}

}  // namespace brisko::platform::detail
