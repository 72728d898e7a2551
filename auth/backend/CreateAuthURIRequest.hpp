// The create-auth-URI call: which sign-in methods exist for an e-mail address.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct CreateAuthURIResponse {
    std::optional<std::string> authURI;
    bool registered = false;
    std::optional<std::string> providerID;
    bool forExistingProvider = false;
    std::optional<std::vector<std::string>> allProviders;
    std::vector<std::string> signinMethods;  // empty when absent or malformed

    static CreateAuthURIResponse initFromJSON(const nlohmann::json& object);
};

class CreateAuthURIRequest : public IdentityToolkitRequest {
public:
    using Response = CreateAuthURIResponse;

    CreateAuthURIRequest(std::string identifier, std::string continueURI,
                         std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string identifier;
    std::string continueURI;
    std::optional<std::string> openIDRealm;
    std::optional<std::string> providerID;
    std::optional<std::string> clientID;
    std::optional<std::string> context;
    std::optional<std::string> appID;
};

}  // namespace brisko::auth
