// One recorded heartbeat: the user agent, its UTC day and the periods it counts for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/internal/HeartbeatDate.hpp"
#include "core/internal/TimePeriod.hpp"

namespace brisko::core::internal {

struct Heartbeat {
    std::string agent;
    Date date;
    std::int64_t version = 0;
    std::vector<TimePeriod> timePeriods;

    bool operator==(const Heartbeat&) const = default;
};

}  // namespace brisko::core::internal
