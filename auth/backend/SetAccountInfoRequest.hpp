// The account update ("setAccountInfo"): display name, photo, e-mail, password, unlinked providers,
// deleted attributes or an applied e-mail action code; and its reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

// The profile attributes an account update can delete ("deleteAttribute").
inline constexpr std::string_view kDeleteAttributeDisplayName = "DISPLAY_NAME";
inline constexpr std::string_view kDeleteAttributePhotoURL = "PHOTO_URL";

struct SetAccountInfoResponse {
    struct ProviderUserInfo {
        std::optional<std::string> providerID;
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
    };

    std::optional<std::string> email;
    std::optional<std::string> displayName;
    // Whether the account's e-mail is verified after the change (a new address is not).
    std::optional<bool> emailVerified;
    std::optional<std::vector<ProviderUserInfo>> providerUserInfo;
    std::optional<std::string> idToken;
    std::optional<platform::Date> approximateExpirationDate;
    std::optional<std::string> refreshToken;

    static SetAccountInfoResponse initFromJSON(const nlohmann::json& object);
};

class SetAccountInfoRequest : public IdentityToolkitRequest {
public:
    using Response = SetAccountInfoResponse;

    SetAccountInfoRequest(std::optional<std::string> accessToken,
                          std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> accessToken;
    std::optional<std::string> displayName;
    std::optional<std::string> localID;
    std::optional<std::string> email;
    std::optional<platform::URL> photoURL;
    std::optional<std::string> password;
    std::optional<std::vector<std::string>> providers;
    std::optional<std::string> oobCode;
    bool emailVerified = false;
    bool upgradeToFederatedLogin = false;
    std::optional<std::string> captchaChallenge;
    std::optional<std::string> captchaResponse;
    std::optional<std::vector<std::string>> deleteAttributes;
    std::optional<std::vector<std::string>> deleteProviders;
    bool returnSecureToken = true;
};

}  // namespace brisko::auth
