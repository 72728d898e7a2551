// Gzip compression and inflation over zlib.
#include <doctest/doctest.h>

#include <zlib.h>

#include "core/Gzip.hpp"
#include "platform/storage/Crypto.hpp"

using namespace brisko;
using core::dataByGzippingData;
using core::dataByInflatingGzippedData;

namespace {

platform::Data bytes(std::string_view s) {
    return platform::Data(s.begin(), s.end());
}

platform::Data zlibWrapped(const platform::Data& input) {
    uLongf size = compressBound(static_cast<uLong>(input.size()));
    platform::Data out(size);
    REQUIRE(compress(out.data(), &size, input.data(), static_cast<uLong>(input.size())) == Z_OK);
    out.resize(size);
    return out;
}

}  // namespace

TEST_CASE("gzip round-trips text and random bytes, and its output is a complete gzip member") {
    for (const auto& input : {bytes("{\"heartbeats\":[],\"version\":2}"),
                              platform::crypto::randomBytes(70000), platform::Data(5000, 'a')}) {
        platform::OptionalError error;
        auto zipped = dataByGzippingData(input, &error);
        REQUIRE(zipped);
        CHECK_FALSE(error);
        // Header magic, deflate method, and the trailer's length field (ISIZE) as standard tools read it.
        REQUIRE(zipped->size() >= 18);
        CHECK((*zipped)[0] == 0x1f);
        CHECK((*zipped)[1] == 0x8b);
        CHECK((*zipped)[2] == 8);
        const auto n = zipped->size();
        const std::uint32_t isize = (*zipped)[n - 4] | ((*zipped)[n - 3] << 8) | ((*zipped)[n - 2] << 16) |
                                    (static_cast<std::uint32_t>((*zipped)[n - 1]) << 24);
        CHECK(isize == input.size());
        auto inflated = dataByInflatingGzippedData(*zipped, &error);
        REQUIRE(inflated);
        CHECK(*inflated == input);
    }
}

TEST_CASE("empty input gives nothing and no error in both directions") {
    platform::OptionalError error;
    CHECK_FALSE(dataByGzippingData({}, &error));
    CHECK_FALSE(dataByInflatingGzippedData({}, &error));
    CHECK_FALSE(error);
}

TEST_CASE("zlib-wrapped data inflates like gzip data") {
    const auto input = bytes("zlib header, not gzip");
    auto inflated = dataByInflatingGzippedData(zlibWrapped(input));
    REQUIRE(inflated);
    CHECK(*inflated == input);
}

TEST_CASE("inflation failures carry their codes") {
    const auto first = *dataByGzippingData(bytes("first member"));
    const auto second = *dataByGzippingData(bytes("second member, longer than the first"));

    SUBCASE("two concatenated members fail with 1026 and the second member's length as the remaining count") {
        platform::Data both = first;
        both.insert(both.end(), second.begin(), second.end());
        platform::OptionalError error;
        CHECK_FALSE(dataByInflatingGzippedData(both, &error));
        REQUIRE(error);
        CHECK(error->domain() == core::kGzipErrorDomain);
        CHECK(error->code() == 1026);
        REQUIRE(error->userInfoValue(core::kGzipRemainingBytesKey));
        CHECK(error->userInfoValue(core::kGzipRemainingBytesKey)->integer() ==
              static_cast<std::int64_t>(second.size()));
    }
    SUBCASE("truncated data fails with 1025 and the zlib status") {
        for (std::size_t keep : {first.size() - 1, first.size() - 8, std::size_t{12}}) {
            platform::Data truncated(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(keep));
            platform::OptionalError error;
            CHECK_FALSE(dataByInflatingGzippedData(truncated, &error));
            REQUIRE(error);
            CHECK(error->code() == 1025);
            CHECK(error->userInfoValue(core::kGzipErrorKey) != nullptr);
        }
    }
    SUBCASE("data that is no stream at all fails with 1025 and zlib's message as the description") {
        platform::OptionalError error;
        CHECK_FALSE(dataByInflatingGzippedData(bytes("definitely not compressed"), &error));
        REQUIRE(error);
        CHECK(error->code() == 1025);
        CHECK(error->userInfoValue(core::kGzipErrorKey)->integer() == Z_DATA_ERROR);
        CHECK_FALSE(error->localizedDescription().empty());
    }
    SUBCASE("no error out-parameter is fine") {
        CHECK_FALSE(dataByInflatingGzippedData(bytes("xx")));
    }
}
