// The timestamp's range checks, date conversion and ISO-8601 text.
#include "core/Timestamp.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "platform/base/Clock.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::int64_t kMinSeconds = -62135596800;  // 0001-01-01T00:00:00Z
constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

[[noreturn]] void raise(std::string_view name, std::string reason) {
    throw platform::ProgrammingException(std::string(name), std::move(reason));
}

}  // namespace

Timestamp::Timestamp(std::int64_t seconds, std::int32_t nanoseconds)
    : seconds_(seconds), nanoseconds_(nanoseconds) {
    // Compared unsigned, so any negative count fails too.
    if (static_cast<std::uint32_t>(nanoseconds) >= static_cast<std::uint32_t>(kNanosPerSecond)) {
        raise(kInvalidTimestampException,
              platform::format("Timestamp nanoseconds out of range: %d", {nanoseconds}));
    }
    if (seconds < kMinSeconds || seconds > kMaxSeconds) {
        raise(kInvalidTimestampException,
              platform::format("Timestamp seconds out of range: %lld", {seconds}));
    }
}

Timestamp Timestamp::timestampWithDate(platform::Date date) {
    const double interval = platform::timeIntervalSince1970(date);
    double whole = 0;
    double fraction = std::modf(interval, &whole);
    std::int64_t seconds = static_cast<std::int64_t>(whole);
    if (fraction < 0) {
        seconds -= 1;
        fraction += 1.0;
    }
    auto nanos = static_cast<std::int64_t>(fraction * static_cast<double>(kNanosPerSecond));
    return Timestamp(seconds, static_cast<std::int32_t>(std::min<std::int64_t>(nanos, kNanosPerSecond - 1)));
}

Timestamp Timestamp::timestamp() {
    return timestampWithDate(platform::now());
}

platform::Date Timestamp::dateValue() const {
    // A date counts nanoseconds in 64 bits (about the years 1678 to 2262); instants beyond that are
    // clamped to the nearest representable date rather than overflowing.
    using Rep = platform::Date::duration::rep;
    constexpr std::int64_t kLimit = std::numeric_limits<Rep>::max() / kNanosPerSecond - 1;
    const std::int64_t seconds = std::clamp(seconds_, -kLimit, kLimit);
    return platform::Date(
        std::chrono::duration_cast<platform::Date::duration>(std::chrono::seconds(seconds)) +
        std::chrono::duration_cast<platform::Date::duration>(std::chrono::nanoseconds(nanoseconds_)));
}

std::string Timestamp::ISO8601String() const {
    // Day arithmetic in whole days covers the full range from year 1 to 9999.
    const std::int64_t days = seconds_ >= 0 ? seconds_ / 86400 : -((-seconds_ + 86399) / 86400);
    const std::int64_t secondOfDay = seconds_ - days * 86400;
    const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
    const std::string text = platform::format(
        "%04d-%02u-%02uT%02lld:%02lld:%02lld",
        {static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
         secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60});
    if (text.size() != 19)
        raise(kInvalidISOStringException, platform::format("Invalid ISO string: %@", {text}));
    return platform::format("%@.%@Z", {text, platform::format("%09d", {nanoseconds_})});
}

int Timestamp::compare(const Timestamp& other) const {
    const auto c = *this <=> other;
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::size_t Timestamp::hash() const {
    const std::int64_t h = (seconds_ >> 32) ^ seconds_ ^ static_cast<std::int64_t>(nanoseconds_);
    return static_cast<std::size_t>(h);
}

std::string Timestamp::description() const {
    return platform::format("<ZIRTimestamp: seconds=%lld nanoseconds=%d>", {seconds_, nanoseconds_});
}

}  // namespace brisko::core
