// Wall-clock time behind an injectable clock, and the system's date texts (Gregorian calendar always).
#pragma once

#include <chrono>
#include <cmath>
#include <concepts>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

// A number of seconds as a duration of type D, which must have an integral count. A value beyond D's
// range stops at its ends and NaN counts as zero: a plain duration_cast of such a double is undefined
// behaviour (and in practice wraps, so a date after 2262 would read as 1677).
template <class D>
requires std::integral<typename D::rep> D durationFromSeconds(double seconds) {
    using Rep = typename D::rep;
    if (std::isnan(seconds)) return D::zero();
    const double ticks = seconds * static_cast<double>(D::period::den) / static_cast<double>(D::period::num);
    // The limits as doubles round away from zero (2^63 for a 64-bit count), so equality is out of range.
    if (ticks >= static_cast<double>(std::numeric_limits<Rep>::max())) return D::max();
    if (ticks <= static_cast<double>(std::numeric_limits<Rep>::min())) return D::min();
    return D(static_cast<Rep>(ticks));
}

// The process's clock: the system clock unless a test installed another.
Date now();
double timeIntervalSince1970(Date d);
// Seconds since 1970 as a date; beyond the dates a Date holds (1677 to 2262) it stops at the nearest.
Date dateFromTimeIntervalSince1970(double seconds);
std::shared_ptr<Clock> systemClock();

// A clock that moves only when told; install it with ScopedClock.
class ManualClock : public Clock {
public:
    explicit ManualClock(Date start = Date(std::chrono::seconds(1'700'000'000))) : now_(start) {}
    Date now() const override;
    void set(Date d);
    void advance(std::chrono::system_clock::duration d);

private:
    mutable std::mutex mutex_;
    Date now_;
};

// Installs a clock for the lifetime of this object.
class ScopedClock {
public:
    explicit ScopedClock(std::shared_ptr<Clock> clock);
    ~ScopedClock();

private:
    std::shared_ptr<Clock> previous_;
};

enum class TimeZone { utc, local };

// Formats with a fixed pattern in the Gregorian calendar: yyyy MM dd HH mm ss SSS, Z (+0000),
// XXX/ZZZZZ (+00:00 or Z), 'quoted literal'; every other character stands as it is.
std::string formatDate(Date d, std::string_view pattern, TimeZone zone);
// Parses text made by the same pattern; nothing when it does not match.
std::optional<Date> parseDate(std::string_view text, std::string_view pattern, TimeZone zone);

// ISO-8601 in UTC, "2026-12-09T21:54:09Z" (fractional seconds with `withFractionalSeconds`).
std::string iso8601(Date d, bool withFractionalSeconds = false);
// Parses ISO-8601 date-times with "Z" or a numeric offset, with or without fractional seconds.
std::optional<Date> parseISO8601(std::string_view text);

}  // namespace brisko::platform
