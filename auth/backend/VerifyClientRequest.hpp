// Verifying the app with a platform token, and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct VerifyClientResponse {
    std::optional<std::string> receipt;
    std::optional<platform::Date> suggestedTimeOutDate;

    static VerifyClientResponse initFromJSON(const nlohmann::json& object);
};

class VerifyClientRequest : public IdentityToolkitRequest {
public:
    using Response = VerifyClientResponse;

    VerifyClientRequest(std::optional<std::string> appToken, bool isSandbox,
                        std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> appToken;
    bool isSandbox = false;
};

}  // namespace brisko::auth
