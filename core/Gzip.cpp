// Gzip over zlib: deflate with a gzip wrapper, inflate with automatic gzip/zlib header detection.
#include "core/Gzip.hpp"

#include <array>
#include <limits>
#include <string>

#include <zlib.h>

namespace brisko::core {
namespace {

constexpr std::size_t kChunkSize = 1024;
constexpr int kGzipWindowBits = 31;        // 32 KiB window, gzip header and trailer
constexpr int kAutoDetectWindowBits = 47;  // 32 KiB window, gzip or zlib header

void report(platform::OptionalError* error, GzipErrorCode code, platform::Dictionary userInfo = {}) {
    if (error)
        *error = platform::Error(std::string(kGzipErrorDomain), static_cast<std::int64_t>(code),
                                 std::move(userInfo));
}

void reportZlib(platform::OptionalError* error, int status, const char* message = nullptr) {
    platform::Dictionary info{{std::string(kGzipErrorKey), platform::Value(status)}};
    if (message && *message)
        info.emplace(std::string(platform::kLocalizedDescriptionKey), platform::Value(message));
    report(error, GzipErrorCode::internal, std::move(info));
}

}  // namespace

std::optional<platform::Data> dataByGzippingData(const platform::Data& data, platform::OptionalError* error) {
    if (data.empty()) return std::nullopt;
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        report(error, GzipErrorCode::greaterThan32BitsToCompress);
        return std::nullopt;
    }
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    int status =
        deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        reportZlib(error, status);
        return std::nullopt;
    }
    platform::Data out;
    out.reserve(data.size() / 4);
    std::array<Bytef, kChunkSize> chunk{};
    do {
        stream.next_out = chunk.data();
        stream.avail_out = kChunkSize;
        status = deflate(&stream, Z_FINISH);
        if (status != Z_OK && status != Z_STREAM_END) {
            deflateEnd(&stream);
            reportZlib(error, status);
            return std::nullopt;
        }
        out.insert(out.end(), chunk.data(), chunk.data() + (kChunkSize - stream.avail_out));
    } while (status == Z_OK);
    deflateEnd(&stream);
    return out;
}

std::optional<platform::Data> dataByInflatingGzippedData(const platform::Data& data,
                                                         platform::OptionalError* error) {
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    int status = inflateInit2(&stream, kAutoDetectWindowBits);
    if (status != Z_OK) {
        reportZlib(error, status);
        return std::nullopt;
    }
    platform::Data out;
    out.reserve(std::min<std::size_t>(data.size() * 4, std::size_t{64} << 20));
    std::array<Bytef, kChunkSize> chunk{};
    do {
        stream.next_out = chunk.data();
        stream.avail_out = kChunkSize;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            // A truncated stream stops with Z_BUF_ERROR: no progress is possible without more input.
            reportZlib(error, status, stream.msg);
            inflateEnd(&stream);
            return std::nullopt;
        }
        out.insert(out.end(), chunk.data(), chunk.data() + (kChunkSize - stream.avail_out));
    } while (status == Z_OK);
    const auto remaining = stream.avail_in;
    inflateEnd(&stream);
    if (remaining > 0) {
        report(
            error, GzipErrorCode::dataRemaining,
            {{std::string(kGzipRemainingBytesKey), platform::Value(static_cast<std::int64_t>(remaining))}});
        return std::nullopt;
    }
    return out;
}

}  // namespace brisko::core
