// Message formatting and UTF-8 handling.
#include <doctest/doctest.h>

#include <cmath>

#include "platform/base/Text.hpp"

using namespace brisko::platform;

TEST_CASE("format renders the system's conversions") {
    struct Case {
        std::string fmt;
        std::string expected;
    };
    std::string got;
    CHECK(format("%@ - %@[%@] %@", {"12.12.0", "[Core]", "I-COR000001", "msg"}) == "12.12.0 - [Core][I-COR000001] msg");
    CHECK(format("I-EAV%06ld", {42}) == "I-EAV000042");
    CHECK(format("%02d:%02d", {5, 7}) == "05:07");
    CHECK(format("%lld %u %d", {-9223372036854775807LL - 1, 4294967295u, -3}) == "-9223372036854775808 4294967295 -3");
    CHECK(format("100%% %s", {"done"}) == "100% done");
    CHECK(format("%.2f", {3.14159}) == "3.14");
    CHECK(format("%@ and %@", {"one"}) == "one and (null)");
    CHECK(format("trailing %", {}) == "trailing %");
    CHECK(format("%ld#%@", {std::int64_t{-5}, "x"}) == "-5#x");
}

TEST_CASE("invalid UTF-8 is repaired, valid text untouched") {
    CHECK(isValidUTF8("日本語 text"));
    CHECK_FALSE(isValidUTF8("\xff"));
    CHECK_FALSE(isValidUTF8("\xC0\x80"));         // overlong NUL
    CHECK_FALSE(isValidUTF8("\xED\xA0\x80"));     // surrogate
    CHECK_FALSE(isValidUTF8("\xE6\x97"));         // truncated
    CHECK(sanitizeUTF8("a\xffz") == "a\xEF\xBF\xBDz");
    CHECK(sanitizeUTF8("ok") == "ok");
}

TEST_CASE("trimming removes Unicode white space and newlines at both ends only") {
    CHECK(trimWhitespaceAndNewlines("  \t\nSafari \r\n") == "Safari");
    CHECK(trimWhitespaceAndNewlines("\u3000\u00A0名前\u3000") == "名前");
    CHECK(trimWhitespaceAndNewlines("a b") == "a b");
    CHECK(trimWhitespaceAndNewlines("\u3000 \u2028") == "");
    CHECK(trimWhitespaceAndNewlines("") == "");
    CHECK(trimWhitespaceAndNewlines(" \xff ") == "\xEF\xBF\xBD");
}

TEST_CASE("ASCII case helpers") {
    CHECK(equalsIgnoringASCIICase("Content-Type", "content-type"));
    CHECK_FALSE(equalsIgnoringASCIICase("a", "ab"));
    CHECK(asciiLowercase("HeLLo") == "hello");
    CHECK(hasPrefix("https://x", "https:"));
    CHECK(hasSuffix("file.plist", ".plist"));
}
