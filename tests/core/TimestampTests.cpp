// The timestamp value: range checks, date conversion, ISO-8601 text and ordering.
#include <doctest/doctest.h>

#include "core/Timestamp.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Error.hpp"

using namespace brisko;
using core::Timestamp;

namespace {

std::string raisedReason(std::int64_t seconds, std::int32_t nanos) {
    try {
        Timestamp t(seconds, nanos);
        (void)t;
    } catch (const platform::ProgrammingException& e) {
        CHECK(e.name() == "Invalid timestamp");
        return e.reason();
    }
    return {};
}

}  // namespace

TEST_CASE("timestamps outside years 1 to 9999 or with a bad nanosecond part are refused") {
    CHECK(raisedReason(253402300800, 0) == "Timestamp seconds out of range: 253402300800");
    CHECK(raisedReason(-62135596801, 0) == "Timestamp seconds out of range: -62135596801");
    CHECK(raisedReason(0, -1) == "Timestamp nanoseconds out of range: -1");
    CHECK(raisedReason(0, 1'000'000'000) == "Timestamp nanoseconds out of range: 1000000000");
    CHECK(raisedReason(253402300799, 999'999'999).empty());
    CHECK(raisedReason(-62135596800, 0).empty());
}

TEST_CASE("dates split into seconds and a non-negative nanosecond part") {
    auto before = Timestamp::timestampWithDate(platform::dateFromTimeIntervalSince1970(-0.25));
    CHECK(before.seconds() == -1);
    CHECK(before.nanoseconds() == 750'000'000);
    auto after = Timestamp::timestampWithDate(platform::dateFromTimeIntervalSince1970(1.5));
    CHECK(after.seconds() == 1);
    CHECK(after.nanoseconds() == 500'000'000);
    CHECK(platform::timeIntervalSince1970(after.dateValue()) == doctest::Approx(1.5));
}

TEST_CASE("ISO-8601 text keeps all nine nanosecond digits, across the whole range") {
    CHECK(Timestamp(981173106, 7).ISO8601String() == "2001-02-03T04:05:06.000000007Z");
    CHECK(Timestamp(-1, 500'000'000).ISO8601String() == "1969-12-31T23:59:59.500000000Z");
    CHECK(Timestamp(-62135596800, 0).ISO8601String() == "0001-01-01T00:00:00.000000000Z");
    CHECK(Timestamp(253402300799, 999'999'999).ISO8601String() == "9999-12-31T23:59:59.999999999Z");
}

TEST_CASE("timestamps order by seconds, then nanoseconds, and describe themselves") {
    Timestamp a(10, 5), b(10, 6), c(11, 0);
    CHECK(a.compare(b) == -1);
    CHECK(c.compare(b) == 1);
    CHECK(a.compare(Timestamp(10, 5)) == 0);
    CHECK(a.isEqualToTimestamp(Timestamp(10, 5)));
    CHECK(a.hash() == Timestamp(10, 5).hash());
    CHECK(a.description() == "<ZIRTimestamp: seconds=10 nanoseconds=5>");
}

TEST_CASE("the current timestamp follows the process clock") {
    auto clock = std::make_shared<platform::ManualClock>(platform::dateFromTimeIntervalSince1970(1234.25));
    platform::ScopedClock scoped(clock);
    auto now = Timestamp::timestamp();
    CHECK(now.seconds() == 1234);
    CHECK(now.nanoseconds() == 250'000'000);
}
