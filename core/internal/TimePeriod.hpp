// The periods for which heartbeats are counted; stored as their raw integers.
#pragma once

#include <array>
#include <chrono>
#include <optional>

namespace brisko::core::internal {

enum class TimePeriod : int { daily = 1 };

inline constexpr std::array<TimePeriod, 1> kAllTimePeriods{TimePeriod::daily};

// The period's length.
constexpr std::chrono::duration<double> timeInterval(TimePeriod period) {
    switch (period) {
        case TimePeriod::daily:
            return std::chrono::duration<double>(86400.0);
    }
    return std::chrono::duration<double>(86400.0);
}

// The period of a raw value, or nothing for any value but the known ones.
constexpr std::optional<TimePeriod> timePeriodFromRawValue(long long raw) {
    if (raw == static_cast<int>(TimePeriod::daily)) return TimePeriod::daily;
    return std::nullopt;
}

}  // namespace brisko::core::internal
