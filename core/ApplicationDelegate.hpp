// The application events that library code may intercept.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brisko::core {

class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;

    // The application was asked to open URLs (its URL scheme, forwarded from a second instance or the
    // desktop). True when handled; nothing when this object does not take the event.
    virtual std::optional<bool> applicationOpenURLs(const std::vector<std::string>& urls) {
        (void)urls;
        return std::nullopt;
    }
};

}  // namespace brisko::core
