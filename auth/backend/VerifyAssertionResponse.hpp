// The verify-assertion reply: the signed-in identity-service user of a provider's proof, with what the
// provider returned.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/backend/AuthRPCRequest.hpp"
#include "platform/base/Value.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

struct VerifyAssertionResponse : AuthMFAResponse {
    std::optional<std::string> federatedID;
    std::optional<std::string> providerID;
    std::optional<std::string> localID;
    std::optional<std::string> email;
    std::optional<std::string> inputEmail;
    std::optional<std::string> originalEmail;
    std::optional<std::string> oauthRequestToken;
    std::optional<std::string> oauthScope;
    std::optional<std::string> firstName;
    std::optional<std::string> lastName;
    std::optional<std::string> fullName;
    std::optional<std::string> nickName;
    std::optional<std::string> displayName;
    std::optional<std::string> idToken;  // the identity-service ID token
    std::optional<platform::Date> approximateExpirationDate;
    std::optional<std::string> refreshToken;
    std::optional<std::string> action;
    std::optional<std::string> language;
    std::optional<std::string> timeZone;
    std::optional<platform::URL> photoURL;
    std::optional<std::string> dateOfBirth;
    std::optional<std::string> context;
    std::optional<std::vector<std::string>> verifiedProvider;
    bool needConfirmation = false;
    bool emailRecycled = false;
    bool emailVerified = false;
    bool isNewUser = false;
    std::optional<platform::Dictionary> profile;  // "rawUserInfo"
    std::optional<std::string> username;
    std::optional<std::string> oauthIDToken;  // the provider's ID token
    std::optional<platform::Date> oauthExpirationDate;
    std::optional<std::string> oauthAccessToken;
    std::optional<std::string> oauthSecretToken;
    std::optional<std::string> pendingToken;
    std::optional<std::string> mfaPendingCredential;
    std::optional<std::vector<AuthProtoMFAEnrollment>> mfaInfo;

    // Never fails: a member of an unexpected type reads as absent or false.
    static VerifyAssertionResponse initFromJSON(const nlohmann::json& object);

    const std::optional<std::string>& mfaPendingCredentialValue() const override { return mfaPendingCredential; }
    const std::optional<std::vector<AuthProtoMFAEnrollment>>& mfaInfoValue() const override { return mfaInfo; }
    const std::optional<std::string>& idTokenValue() const override { return idToken; }
};

}  // namespace brisko::auth
