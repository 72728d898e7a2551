// The account-info call.
#include "auth/backend/GetAccountInfoRequest.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

GetAccountInfoResponse::ProviderUserInfo
GetAccountInfoResponse::ProviderUserInfo::initFromJSON(const nlohmann::json& object) {
    ProviderUserInfo p;
    p.providerID = readText(object, "providerId");
    p.displayName = readText(object, "displayName");
    p.photoURL = readURL(object, "photoUrl");
    p.federatedID = readText(object, "federatedId");
    p.email = readText(object, "email");
    p.phoneNumber = readText(object, "phoneNumber");
    return p;
}

GetAccountInfoResponse::User GetAccountInfoResponse::User::initFromJSON(const nlohmann::json& object) {
    User u;
    if (const auto* providers = readObjectArray(object, "providerUserInfo")) {
        u.providerUserInfo.emplace();
        for (const auto& p : *providers) u.providerUserInfo->push_back(ProviderUserInfo::initFromJSON(p));
    }
    u.localID = readText(object, "localId");
    u.displayName = readText(object, "displayName");
    u.email = readText(object, "email");
    u.photoURL = readURL(object, "photoUrl");
    u.creationDate = readMillisecondsTimestamp(object, "createdAt");
    u.lastLoginDate = readMillisecondsTimestamp(object, "lastLoginAt");
    u.emailVerified = readBoolean(object, "emailVerified");
    u.passwordHash = readText(object, "passwordHash");
    u.phoneNumber = readText(object, "phoneNumber");
    u.mfaEnrollments = AuthProtoMFAEnrollment::listFromJSON(object, "mfaInfo");
    return u;
}

GetAccountInfoResponse GetAccountInfoResponse::initFromJSON(const nlohmann::json& object) {
    const auto* users = readObjectArray(object, "users");
    if (!users || users->size() != 1) {
        throwUnexpectedResponse(object);
    }
    GetAccountInfoResponse r;
    r.users = std::vector<User>{User::initFromJSON(users->front())};
    return r;
}

GetAccountInfoRequest::GetAccountInfoRequest(std::string token, std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("getAccountInfo", std::move(configuration)), accessToken(std::move(token)) {}

std::optional<JSONBody> GetAccountInfoRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["idToken"] = accessToken;
    return body;
}

}  // namespace brisko::auth
