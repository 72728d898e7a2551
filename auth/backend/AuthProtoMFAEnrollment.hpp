// One enrolled second factor as the identity service reports it (account-info and sign-in replies).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/base/Value.hpp"

namespace brisko::auth {

struct AuthProtoMFAEnrollment {
    std::optional<std::string> phoneInfo;        // the phone number of a phone factor
    std::optional<std::string> totpInfo;         // set (to empty text) for a TOTP factor
    std::optional<std::string> mfaEnrollmentID;  // "mfaEnrollmentId"
    std::optional<std::string> displayName;
    std::optional<platform::Date> enrolledAt;

    // From one JSON object; never fails (unreadable members stay unset).
    static AuthProtoMFAEnrollment initFromJSON(const nlohmann::json& object);
    // The entries of an array of objects, in order; nothing when the member is missing or any element
    // is not an object.
    static std::optional<std::vector<AuthProtoMFAEnrollment>> listFromJSON(const nlohmann::json& object,
                                                                           std::string_view key);

    bool operator==(const AuthProtoMFAEnrollment&) const = default;
};

}  // namespace brisko::auth
