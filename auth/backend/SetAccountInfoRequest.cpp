// The account update.
#include "auth/backend/SetAccountInfoRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

SetAccountInfoResponse SetAccountInfoResponse::initFromJSON(const nlohmann::json& object) {
    SetAccountInfoResponse r;
    r.email = readText(object, "email");
    r.displayName = readText(object, "displayName");
    if (const auto* verified = member(object, "emailVerified"); verified && verified->is_boolean()) {
        r.emailVerified = verified->get<bool>();
    }
    if (const auto* providers = readObjectArray(object, "providerUserInfo")) {
        r.providerUserInfo.emplace();
        for (const auto& p : *providers) {
            r.providerUserInfo->push_back(
                {readText(p, "providerId"), readText(p, "displayName"), readURL(p, "photoUrl")});
        }
    }
    r.idToken = readText(object, "idToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.refreshToken = readText(object, "refreshToken");
    return r;
}

SetAccountInfoRequest::SetAccountInfoRequest(std::optional<std::string> token,
                                             std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("setAccountInfo", std::move(configuration)), accessToken(std::move(token)) {}

std::optional<JSONBody> SetAccountInfoRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (accessToken) body["idToken"] = *accessToken;
    if (displayName) body["displayName"] = *displayName;
    if (localID) body["localId"] = *localID;
    if (email) body["email"] = *email;
    if (password) body["password"] = *password;
    if (photoURL) body["photoUrl"] = photoURL->absoluteString();
    if (providers) body["provider"] = *providers;
    if (oobCode) body["oobCode"] = *oobCode;
    if (emailVerified) body["emailVerified"] = true;
    if (upgradeToFederatedLogin) body["upgradeToFederatedLogin"] = true;
    if (captchaChallenge) body["captchaChallenge"] = *captchaChallenge;
    if (captchaResponse) body["captchaResponse"] = *captchaResponse;
    if (deleteAttributes) body["deleteAttribute"] = *deleteAttributes;
    if (deleteProviders) body["deleteProvider"] = *deleteProviders;
    if (returnSecureToken) body["returnSecureToken"] = true;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
