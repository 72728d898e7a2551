// UTC day arithmetic for heartbeat dates.
#include "core/internal/HeartbeatDate.hpp"

#include <cmath>

#include "platform/base/Text.hpp"

namespace brisko::core::internal {
namespace {

constexpr double kSecondsPerDay = 86400.0;

// Whole days since 1970; dates come from the clock or from checked files, so the value is finite and
// within years 1 to 9999.
std::int64_t dayNumber(Date date) {
    return static_cast<std::int64_t>(std::floor(date.time_since_epoch().count() / kSecondsPerDay));
}

}  // namespace

Date startOfUTCDay(Date date) {
    return Date(std::chrono::duration<double>(static_cast<double>(dayNumber(date)) * kSecondsPerDay));
}

std::string utcDayString(Date date) {
    const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{dayNumber(date)}}};
    return platform::format(
        "%04d-%02u-%02u",
        {static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day())});
}

}  // namespace brisko::core::internal
