// Clocks and date texts.
#include <doctest/doctest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "platform/base/Clock.hpp"

using namespace brisko::platform;

namespace {
struct ScopedTZ {
    explicit ScopedTZ(const char* tz) {
        if (const char* old = std::getenv("TZ")) previous = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (previous.empty()) unsetenv("TZ");
        else setenv("TZ", previous.c_str(), 1);
        tzset();
    }
    std::string previous;
};
const Date kSample = Date(std::chrono::seconds(1765317249)) + std::chrono::milliseconds(42);  // 2025-12-09T21:54:09.042Z
}  // namespace

TEST_CASE("ISO-8601 text is UTC with Z, and parses back") {
    CHECK(iso8601(kSample) == "2025-12-09T21:54:09Z");
    CHECK(iso8601(kSample, true) == "2025-12-09T21:54:09.042Z");
    CHECK(parseISO8601("2025-12-09T21:54:09Z") == Date(std::chrono::seconds(1765317249)));
    CHECK(parseISO8601("2025-12-10T06:54:09.042+09:00") == kSample);
    CHECK_FALSE(parseISO8601("2025-13-09T21:54:09Z"));
    CHECK_FALSE(parseISO8601("yesterday"));
    CHECK(iso8601(Date(std::chrono::seconds(-1))) == "1969-12-31T23:59:59Z");
}

TEST_CASE("the local day follows the time zone and stays Gregorian whatever the locale") {
    ScopedTZ tz("Asia/Tokyo");
    std::setlocale(LC_ALL, "ja_JP.UTF-8@calendar=japanese");  // may not exist; the output must not care
    CHECK(formatDate(kSample, "yyyy-MM-dd", TimeZone::local) == "2025-12-10");
    CHECK(formatDate(kSample, "yyyy-MM-dd", TimeZone::utc) == "2025-12-09");
    CHECK(formatDate(kSample, "yyyy-MM-dd'T'HH:mm:ss.SSSZ", TimeZone::local) == "2025-12-10T06:54:09.042+0900");
    std::setlocale(LC_ALL, "C");
}

TEST_CASE("fixed patterns parse back and reject other text") {
    auto d = parseDate("2025-12-09T21:54:09.042+0000", "yyyy-MM-dd'T'HH:mm:ss.SSSZ", TimeZone::utc);
    REQUIRE(d);
    CHECK(*d == kSample);
    CHECK_FALSE(parseDate("2025-12-09 21:54", "yyyy-MM-dd'T'HH:mm", TimeZone::utc));
}

TEST_CASE("a manual clock replaces the process clock while installed") {
    auto clock = std::make_shared<ManualClock>(kSample);
    {
        ScopedClock scoped(clock);
        CHECK(now() == kSample);
        clock->advance(std::chrono::seconds(30));
        CHECK(now() == kSample + std::chrono::seconds(30));
    }
    CHECK(now() != kSample + std::chrono::seconds(30));
}
