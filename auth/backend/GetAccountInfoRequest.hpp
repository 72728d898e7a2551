// The account-info call: the full server record of the signed-in user, and its reply records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct GetAccountInfoResponse {
    // One linked identity provider.
    struct ProviderUserInfo {
        std::optional<std::string> providerID;
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
        std::optional<std::string> federatedID;
        std::optional<std::string> email;
        std::optional<std::string> phoneNumber;

        static ProviderUserInfo initFromJSON(const nlohmann::json& object);
    };

    struct User {
        std::optional<std::string> localID;
        std::optional<std::string> email;
        bool emailVerified = false;
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
        std::optional<platform::Date> creationDate;
        std::optional<platform::Date> lastLoginDate;
        std::optional<std::vector<ProviderUserInfo>> providerUserInfo;
        std::optional<std::string> passwordHash;
        std::optional<std::string> phoneNumber;
        std::optional<std::vector<AuthProtoMFAEnrollment>> mfaEnrollments;

        static User initFromJSON(const nlohmann::json& object);
    };

    // After a successful parse always exactly one user.
    std::optional<std::vector<User>> users;

    // Fails with the unexpected-response error unless "users" is an array of exactly one object.
    static GetAccountInfoResponse initFromJSON(const nlohmann::json& object);
};

class GetAccountInfoRequest : public IdentityToolkitRequest {
public:
    using Response = GetAccountInfoResponse;

    GetAccountInfoRequest(std::string accessToken, std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string accessToken;  // the user's current ID token
};

}  // namespace brisko::auth
