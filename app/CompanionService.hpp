// The companion service's base address.
#pragma once

#include <string>
#include <string_view>

namespace brisko::app {

// The service's fixed https address, without a trailing slash.
inline constexpr std::string_view kCompanionServiceBaseURL = "https://companion.brisko.app";
// Development setting: this environment variable, when set and not empty, replaces the address (tests
// and local runs point it at a local server).
inline constexpr std::string_view kServiceURLEnvironmentVariable = "BRISKO_SERVICE_URL";

std::string companionServiceBaseURL();

// The address of a path of the service: the base trimmed of white space and of "/" at both ends, then
// the path (which starts with "/"), so that a base written with a trailing "/" never gives "//api/...".
std::string companionServiceAddress(std::string_view baseURL, std::string_view path);

}  // namespace brisko::app
