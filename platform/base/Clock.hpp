// Wall-clock time behind an injectable clock, and the system's date texts (Gregorian calendar always).
#pragma once

#include <chrono>
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

// The process's clock: the system clock unless a test installed another.
Date now();
double timeIntervalSince1970(Date d);
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
