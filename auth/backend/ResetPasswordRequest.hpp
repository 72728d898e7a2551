// The reset-password call: a password-reset code checked (no new password) or used to set one.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct ResetPasswordResponse {
    std::optional<std::string> email;
    std::optional<std::string> verifiedEmail;  // the reply's "newEmail"
    std::optional<std::string> requestType;

    static ResetPasswordResponse initFromJSON(const nlohmann::json& object);
};

// Consumes a password-reset code: only to check it (no new password) or to set the new password.
class ResetPasswordRequest : public IdentityToolkitRequest {
public:
    using Response = ResetPasswordResponse;

    ResetPasswordRequest(std::string oobCode, std::optional<std::string> newPassword,
                         std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string oobCode;
    std::optional<std::string> updatedPassword;
};

}  // namespace brisko::auth
