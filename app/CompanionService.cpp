// Where the companion service is.
#include "app/CompanionService.hpp"

#include <cstdlib>

namespace brisko::app {

std::string companionServiceBaseURL() {
    const char* override = std::getenv(std::string(kServiceURLEnvironmentVariable).c_str());
    if (override && *override) return override;
    return std::string(kCompanionServiceBaseURL);
}

}  // namespace brisko::app
