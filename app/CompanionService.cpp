// Where the companion service is.
#include "app/CompanionService.hpp"

#include <cstdlib>

#include "platform/base/Text.hpp"

namespace brisko::app {

std::string companionServiceBaseURL() {
    const char* override = std::getenv(std::string(kServiceURLEnvironmentVariable).c_str());
    if (override && *override) return override;
    return std::string(kCompanionServiceBaseURL);
}

std::string companionServiceAddress(std::string_view baseURL, std::string_view path) {
    const std::string trimmed = platform::trimWhitespaceAndNewlines(baseURL);
    std::string_view core = trimmed;
    while (!core.empty() && core.front() == '/') core.remove_prefix(1);
    while (!core.empty() && core.back() == '/') core.remove_suffix(1);
    while (path.size() > 1 && path.starts_with("//")) path.remove_prefix(1);
    std::string address(core);
    if (!path.starts_with('/')) address += '/';
    address += path;
    return address;
}

}  // namespace brisko::app
