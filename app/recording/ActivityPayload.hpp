// The body of one ingest request: the local day of the upload and a chunk of entries.
#pragma once

#include <span>
#include <string>

#include "app/recording/ActivityEntry.hpp"

namespace brisko::app {

struct ActivityPayload {
    std::string date;                        // "yyyy-MM-dd", the local day the upload started
    std::span<const ActivityEntry> entries;  // the chunk, oldest first

    // {"date":"...","entries":[...]}, compact.
    std::string toJSON() const;
};

}  // namespace brisko::app
