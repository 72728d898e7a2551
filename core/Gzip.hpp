// Gzip compression and gzip/zlib inflation of byte buffers over zlib.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"

namespace brisko::core {

inline constexpr std::string_view kGzipErrorDomain = "com.ezevar.EULNSDataZlibErrorDomain";
inline constexpr std::string_view kGzipErrorKey = "EULNSDataZlibErrorKey";
inline constexpr std::string_view kGzipRemainingBytesKey = "EULNSDataZlibRemainingBytesKey";

enum class GzipErrorCode : std::int64_t {
    greaterThan32BitsToCompress = 1024,
    internal = 1025,
    dataRemaining = 1026,
};

// A complete gzip member (header, deflate data, trailer) of the input. Empty input gives nothing and
// no error; failures give nothing and fill `error` when one is passed.
std::optional<platform::Data> dataByGzippingData(const platform::Data& data,
                                                 platform::OptionalError* error = nullptr);

// The inflated bytes of gzip or zlib data (the header is detected). Empty input gives nothing and no
// error; input left after the end of the stream is error 1026 with the count of unused bytes.
std::optional<platform::Data> dataByInflatingGzippedData(const platform::Data& data,
                                                         platform::OptionalError* error = nullptr);

}  // namespace brisko::core
