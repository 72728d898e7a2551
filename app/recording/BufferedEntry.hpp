// An activity sample waiting for delivery, numbered in capture order.
#pragma once

#include <cstdint>

#include "app/recording/ActivityEntry.hpp"

namespace brisko::app {

struct BufferedEntry {
    std::uint64_t sequence = 0;  // increases with every capture; survives restarts through the buffer file
    ActivityEntry entry;

    bool operator==(const BufferedEntry&) const = default;
};

}  // namespace brisko::app
