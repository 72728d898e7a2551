// The reCAPTCHA configuration call: the site key and the enforcement state per provider.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct GetRecaptchaConfigResponse {
    std::optional<std::string> recaptchaKey;
    std::optional<std::vector<std::map<std::string, std::string>>> enforcementState;

    static GetRecaptchaConfigResponse initFromJSON(const nlohmann::json& object);
};

// GET "recaptchaConfig" of the identity platform (no body), with the client type, the reCAPTCHA
// version and the tenant in its query.
class GetRecaptchaConfigRequest : public IdentityToolkitRequest {
public:
    using Response = GetRecaptchaConfigResponse;
    explicit GetRecaptchaConfigRequest(std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override { return std::nullopt; }
    // "&clientType=" type "&version=RECAPTCHA_ENTERPRISE", then "&tenantId=" tenant when set.
    std::string queryParameters() const override;
};

}  // namespace brisko::auth
