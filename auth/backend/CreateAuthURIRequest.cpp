// The create-auth-URI call.
#include "auth/backend/CreateAuthURIRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

CreateAuthURIResponse CreateAuthURIResponse::initFromJSON(const nlohmann::json& object) {
    CreateAuthURIResponse r;
    r.providerID = readText(object, "providerId");
    r.authURI = readText(object, "authUri");
    r.registered = readBoolean(object, "registered");
    r.forExistingProvider = readBoolean(object, "forExistingProvider");
    r.allProviders = readTextArray(object, "allProviders");
    r.signinMethods = readTextArray(object, "signinMethods").value_or(std::vector<std::string>{});
    return r;
}

CreateAuthURIRequest::CreateAuthURIRequest(std::string identifierText, std::string continueURIText,
                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("createAuthUri", std::move(configuration)), identifier(std::move(identifierText)),
      continueURI(std::move(continueURIText)) {}

std::optional<JSONBody> CreateAuthURIRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["identifier"] = identifier;
    body["continueUri"] = continueURI;
    if (providerID) body["providerId"] = *providerID;
    if (openIDRealm) body["openidRealm"] = *openIDRealm;
    if (clientID) body["clientId"] = *clientID;
    if (context) body["context"] = *context;
    if (appID) body["appId"] = *appID;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
