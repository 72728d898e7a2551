// Withdrawing a second-factor enrollment ("accounts/mfaEnrollment:withdraw") and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct WithdrawMFAResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;

    static WithdrawMFAResponse initFromJSON(const nlohmann::json& object);
};

class WithdrawMFARequest : public IdentityToolkitRequest {
public:
    using Response = WithdrawMFAResponse;

    WithdrawMFARequest(std::optional<std::string> idToken, std::optional<std::string> mfaEnrollmentID,
                       std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<std::string> mfaEnrollmentID;
};

}  // namespace brisko::auth
