// The get-out-of-band-code call: asks the service to mail an action link (password reset, e-mail
// verification, sign-in link, verification before an e-mail change).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

enum class GetOOBConfirmationCodeRequestType : int {
    passwordReset = 0,
    verifyEmail = 1,
    emailLink = 2,
    verifyBeforeUpdateEmail = 3,
};
// The type of a raw value; nothing outside 0 to 3.
std::optional<GetOOBConfirmationCodeRequestType> oobRequestTypeFromRawValue(int rawValue);
// "PASSWORD_RESET", "VERIFY_EMAIL", "EMAIL_SIGNIN", "VERIFY_AND_CHANGE_EMAIL".
std::string_view requestTypeText(GetOOBConfirmationCodeRequestType type);

// What a link request copies of the caller's action-code settings (the providers' ActionCodeSettings
// hands these values over).
struct ActionCodeSettingsValues {
    std::optional<platform::URL> url;
    bool handleCodeInApp = false;
    std::optional<std::string> iOSBundleID;
    std::optional<std::string> androidPackageName;
    std::optional<std::string> androidMinimumVersion;
    bool androidInstallIfNotAvailable = false;
    std::optional<std::string> linkDomain;
};

struct GetOOBConfirmationCodeResponse {
    std::optional<std::string> OOBCode;

    static GetOOBConfirmationCodeResponse initFromJSON(const nlohmann::json& object);
};

class GetOOBConfirmationCodeRequest : public IdentityToolkitRequest {
public:
    using Response = GetOOBConfirmationCodeResponse;
    using Settings = std::optional<ActionCodeSettingsValues>;
    using Configuration = std::shared_ptr<AuthRequestConfiguration>;

    static GetOOBConfirmationCodeRequest forPasswordReset(std::string email, const Settings& settings,
                                                          Configuration requestConfiguration);
    static GetOOBConfirmationCodeRequest forEmailLinkSignIn(std::string email, const Settings& settings,
                                                            Configuration requestConfiguration);
    static GetOOBConfirmationCodeRequest forEmailVerification(std::string accessToken, const Settings& settings,
                                                              Configuration requestConfiguration);
    static GetOOBConfirmationCodeRequest forVerifyBeforeUpdateEmail(std::string accessToken, std::string newEmail,
                                                                    const Settings& settings,
                                                                    Configuration requestConfiguration);

    std::optional<JSONBody> jsonBody() const override;

    GetOOBConfirmationCodeRequestType requestType;
    std::optional<std::string> email;
    std::optional<std::string> updatedEmail;
    std::optional<std::string> accessToken;
    std::optional<std::string> continueURL;
    std::optional<std::string> iOSBundleID;
    std::optional<std::string> androidPackageName;
    std::optional<std::string> androidMinimumVersion;
    bool androidInstallApp = false;
    bool handleCodeInApp = false;
    std::optional<std::string> linkDomain;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;

private:
    GetOOBConfirmationCodeRequest(GetOOBConfirmationCodeRequestType type, const Settings& settings,
                                  Configuration requestConfiguration);
};

}  // namespace brisko::auth
