// The project configuration call: the project ID and the domains authorised for action links.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct GetProjectConfigResponse {
    std::optional<std::string> projectID;
    std::optional<std::vector<std::string>> authorizedDomains;

    static GetProjectConfigResponse initFromJSON(const nlohmann::json& object);
};

// GET "getProjectConfig" (no body).
class GetProjectConfigRequest : public IdentityToolkitRequest {
public:
    using Response = GetProjectConfigResponse;
    explicit GetProjectConfigRequest(std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override { return std::nullopt; }
};

}  // namespace brisko::auth
