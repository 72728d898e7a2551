// The reply record of calls whose replies carry nothing the system reads.
#pragma once

#include <nlohmann/json.hpp>

namespace brisko::auth {

// No fields; any reply object yields it.
struct EmptyResponse {
    static EmptyResponse initFromJSON(const nlohmann::json&) { return {}; }
};

}  // namespace brisko::auth
