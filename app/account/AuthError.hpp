// The account service's errors, with their Japanese descriptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"

namespace brisko::app {

struct AuthError {
    // The domain the errors carry when logged: the type's qualified name.
    static constexpr std::string_view kDomain = "brisko::app::AuthError";
    // User-info key of the HTTP status of an httpError.
    static constexpr std::string_view kStatusCodeKey = "statusCode";

    enum class Code : std::int64_t {
        httpError = 0,
        missingClientID = 1,
        noIdToken = 2,
        notAuthenticated = 3
    };

    static platform::Error httpError(int status);
    static platform::Error missingClientID();
    static platform::Error noIdToken();
    static platform::Error notAuthenticated();

    static bool is(const platform::Error& error, Code code);
};

}  // namespace brisko::app
