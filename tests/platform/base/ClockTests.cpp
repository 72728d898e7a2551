// Clocks and date texts.
#include <doctest/doctest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <limits>

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
        if (previous.empty())
            unsetenv("TZ");
        else
            setenv("TZ", previous.c_str(), 1);
        tzset();
    }
    std::string previous;
};
const Date kSample =
    Date(std::chrono::seconds(1765317249)) + std::chrono::milliseconds(42);  // 2025-12-09T21:54:09.042Z
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

TEST_CASE("seconds beyond the dates a Date holds stop at its ends instead of wrapping") {
    using std::chrono::nanoseconds;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        Date expected;
    };
    const Case cases[] = {
        {1.5, Date(std::chrono::milliseconds(1500))},
        {-1.5, Date(std::chrono::milliseconds(-1500))},
        {1e10, Date::max()},  // the year 2286
        {9223372036.9, Date::max()},
        {1e300, Date::max()},
        {inf, Date::max()},
        {-1e10, Date::min()},
        {-inf, Date::min()},
        {nan, Date()},
    };
    for (const auto& c : cases) {
        CAPTURE(c.seconds);
        CHECK(dateFromTimeIntervalSince1970(c.seconds) == c.expected);
    }
    CHECK(durationFromSeconds<std::chrono::milliseconds>(1e300) == std::chrono::milliseconds::max());
    CHECK(durationFromSeconds<std::chrono::seconds>(-2.9) == std::chrono::seconds(-2));
    CHECK(durationFromSeconds<nanoseconds>(nan) == nanoseconds::zero());

    // Texts of dates beyond that range do the same.
    CHECK(parseISO8601("2300-01-01T00:00:00Z") == Date::max());
    CHECK(parseISO8601("9999-12-31T23:59:59.999Z") == Date::max());
    CHECK(parseISO8601("1600-01-01T00:00:00Z") == Date::min());
    CHECK(parseDate("2262-04-12", "yyyy-MM-dd", TimeZone::utc) == Date::max());
    CHECK(parseISO8601("2262-04-11T23:47:16.854Z") == Date(nanoseconds(9223372036854000000)));
}
