// An activity sample waiting for delivery, numbered in capture order, with the account it belongs to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/recording/ActivityEntry.hpp"

namespace brisko::app {

struct BufferedEntry {
    std::uint64_t sequence = 0;  // increases with every capture; survives restarts through the buffer file
    ActivityEntry entry;
    // The uid of the account the sample belongs to: the one signed in when it was taken, or, for a
    // sample taken while nobody was, the next account that signs in. None until then.
    std::optional<std::string> uid;

    bool operator==(const BufferedEntry&) const = default;
};

}  // namespace brisko::app
