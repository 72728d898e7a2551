// The dates of heartbeat logging: double seconds, so the platform's "distant past" (year 1) fits.
#pragma once

#include <chrono>
#include <string>

#include "platform/base/Value.hpp"

namespace brisko::core::internal {

// Seconds since 1970 as a double: wide enough for year 1 to year 9999 without overflow.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

// 2001-01-01T00:00:00Z, the epoch of the dates stored in the heartbeat file.
inline constexpr double kReferenceDateSince1970 = 978307200.0;
// 0001-01-01T00:00:00Z, which stands for "never".
inline constexpr double kDistantPastSinceReferenceDate = -63114076800.0;
// 9999-12-31T23:59:59Z, the last date a stored file may carry.
inline constexpr double kDistantFutureSinceReferenceDate = 252423993599.0;

inline Date dateFromReferenceInterval(double seconds) {
    return Date(std::chrono::duration<double>(seconds + kReferenceDateSince1970));
}
inline double referenceIntervalOf(Date d) {
    return d.time_since_epoch().count() - kReferenceDateSince1970;
}
inline Date distantPast() {
    return dateFromReferenceInterval(kDistantPastSinceReferenceDate);
}
inline Date toHeartbeatDate(platform::Date d) {
    return std::chrono::time_point_cast<Date::duration>(d);
}
// True for an interval since the reference date that lies within years 1 to 9999.
inline bool isStorableReferenceInterval(double seconds) {
    return seconds >= kDistantPastSinceReferenceDate && seconds <= kDistantFutureSinceReferenceDate;
}

// The first instant of the UTC day holding the date.
Date startOfUTCDay(Date date);
// "yyyy-MM-dd" of the date's UTC day.
std::string utcDayString(Date date);

}  // namespace brisko::core::internal
