// The upload's errors, with their Japanese descriptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"

namespace brisko::app {

struct ActivityTrackingError {
    static constexpr std::string_view kDomain = "brisko::app::ActivityTrackingError";
    static constexpr std::string_view kStatusCodeKey = "statusCode";

    enum class Code : std::int64_t { httpError = 0, invalidURL = 1 };

    // The status of a chunk's final attempt.
    static platform::Error httpError(int status);
    static platform::Error invalidURL();

    // The status of an httpError, none for any other error.
    static std::optional<int> httpStatus(const platform::Error& error);
};

}  // namespace brisko::app
