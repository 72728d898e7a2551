// The verify-assertion request and reply.
#include "auth/backend/VerifyAssertionRequest.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/internal/JSONReading.hpp"
#include "platform/base/JSON.hpp"

namespace brisko::auth {

using namespace detail;

namespace {

// A text member holding JSON, or the JSON value itself.
std::optional<nlohmann::json> embeddedJSON(const nlohmann::json& object, std::string_view key) {
    const auto* v = member(object, key);
    if (!v) return std::nullopt;
    if (v->is_string()) {
        return platform::readJSON(v->get_ref<const std::string&>(), platform::kMaxReplyJSONDepth);
    }
    return *v;
}

}  // namespace

VerifyAssertionResponse VerifyAssertionResponse::initFromJSON(const nlohmann::json& object) {
    VerifyAssertionResponse r;
    r.federatedID = readText(object, "federatedId");
    r.providerID = readText(object, "providerId");
    r.localID = readText(object, "localId");
    r.email = readText(object, "email");
    r.inputEmail = readText(object, "inputEmail");
    r.originalEmail = readText(object, "originalEmail");
    r.oauthRequestToken = readText(object, "oauthRequestToken");
    r.oauthScope = readText(object, "oauthScope");
    r.firstName = readText(object, "firstName");
    r.lastName = readText(object, "lastName");
    r.fullName = readText(object, "fullName");
    r.nickName = readText(object, "nickName");
    r.displayName = readText(object, "displayName");
    r.idToken = readText(object, "idToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.refreshToken = readText(object, "refreshToken");
    r.action = readText(object, "action");
    r.language = readText(object, "language");
    r.timeZone = readText(object, "timeZone");
    r.photoURL = readURL(object, "photoUrl");
    r.dateOfBirth = readText(object, "dateOfBirth");
    r.context = readText(object, "context");
    if (auto providers = embeddedJSON(object, "verifiedProvider"); providers && providers->is_array()) {
        std::vector<std::string> list;
        bool allText = true;
        for (const auto& p : *providers) {
            if (!p.is_string()) {
                allText = false;
                break;
            }
            list.push_back(p.get<std::string>());
        }
        if (allText) r.verifiedProvider = std::move(list);
    }
    r.needConfirmation = readBoolean(object, "needConfirmation");
    r.emailRecycled = readBoolean(object, "emailRecycled");
    r.emailVerified = readBoolean(object, "emailVerified");
    r.isNewUser = readBoolean(object, "isNewUser");
    if (auto profile = embeddedJSON(object, "rawUserInfo"); profile && profile->is_object()) {
        auto value = valueFromJSON(*profile);
        if (auto* d = value.dictionary()) r.profile = std::move(*d);
    }
    r.username = readText(object, "username");
    r.oauthIDToken = readText(object, "oauthIdToken");
    r.oauthExpirationDate = readExpiresIn(object, "oauthExpireIn");
    r.oauthAccessToken = readText(object, "oauthAccessToken");
    r.oauthSecretToken = readText(object, "oauthTokenSecret");
    r.pendingToken = readText(object, "pendingToken");
    r.mfaPendingCredential = readText(object, "mfaPendingCredential");
    r.mfaInfo = AuthProtoMFAEnrollment::listFromJSON(object, "mfaInfo");
    return r;
}

VerifyAssertionRequest::VerifyAssertionRequest(std::string provider,
                                               std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyAssertion", std::move(configuration)), providerID(std::move(provider)) {}

std::string VerifyAssertionRequest::providerPostBody() const {
    std::string out;
    auto append = [&](std::string_view name, const std::string& value) {
        if (!out.empty()) out += '&';
        out.append(percentEncodeQueryValue(name)).append("=").append(percentEncodeQueryValue(value));
    };
    append("providerId", providerID);
    if (providerIDToken) append("id_token", *providerIDToken);
    if (providerRawNonce) append("nonce", *providerRawNonce);
    if (providerAccessToken) append("access_token", *providerAccessToken);
    if (providerOAuthTokenSecret) append("oauth_token_secret", *providerOAuthTokenSecret);
    if (inputEmail) append("identifier", *inputEmail);
    if (fullName && (fullName->givenName || fullName->familyName)) {
        // Compact JSON with sorted keys.
        nlohmann::json name = nlohmann::json::object();
        if (fullName->givenName) name["firstName"] = *fullName->givenName;
        if (fullName->familyName) name["lastName"] = *fullName->familyName;
        nlohmann::json user = {{"name", name}};
        append("user", user.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    return out;
}

std::optional<JSONBody> VerifyAssertionRequest::jsonBody() const {
    if (!providerIDToken && !providerAccessToken && !pendingToken && !requestURI) {
        throw platform::ErrorException(AuthErrorUtils::makeError(
            AuthErrorCode::internalError, platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey),
                                                                std::string(kMissingProviderProofMessage)}}));
    }
    JSONBody body = JSONBody::object();
    body["requestUri"] = requestURI ? *requestURI : std::string(kDefaultRequestURI);
    body["postBody"] = providerPostBody();
    if (pendingToken) body["pendingToken"] = *pendingToken;
    if (accessToken) body["idToken"] = *accessToken;
    if (returnSecureToken) body["returnSecureToken"] = true;
    if (returnIDPCredential) body["returnIdpCredential"] = true;
    if (sessionID) body["sessionId"] = *sessionID;
    addTenant(body);
    body["autoCreate"] = autoCreate;
    return body;
}

}  // namespace brisko::auth
