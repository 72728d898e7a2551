// Reading a "WWW-Authenticate" value: the challenges it offers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform::detail {

// The challenges a "WWW-Authenticate" value offers: scheme (lower-cased) and realm.
struct AuthOffer {
    std::string scheme;
    std::optional<std::string> realm;
};

std::vector<AuthOffer> parseAuthenticate(std::string_view v);

}  // namespace brisko::platform::detail
