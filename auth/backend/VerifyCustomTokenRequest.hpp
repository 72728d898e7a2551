// Custom-token sign-in ("verifyCustomToken") and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct VerifyCustomTokenResponse {
    std::optional<std::string> idToken;
    std::optional<platform::Date> approximateExpirationDate;
    std::optional<std::string> refreshToken;
    bool isNewUser = false;

    static VerifyCustomTokenResponse initFromJSON(const nlohmann::json& object);
};

class VerifyCustomTokenRequest : public IdentityToolkitRequest {
public:
    using Response = VerifyCustomTokenResponse;

    VerifyCustomTokenRequest(std::string token, std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string token;
    bool returnSecureToken = true;
};

}  // namespace brisko::auth
