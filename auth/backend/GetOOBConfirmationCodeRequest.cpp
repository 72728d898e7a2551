// The out-of-band code records.
#include "auth/backend/GetOOBConfirmationCodeRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

std::optional<GetOOBConfirmationCodeRequestType> oobRequestTypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 3) return std::nullopt;
    return static_cast<GetOOBConfirmationCodeRequestType>(rawValue);
}

std::string_view requestTypeText(GetOOBConfirmationCodeRequestType type) {
    switch (type) {
    case GetOOBConfirmationCodeRequestType::passwordReset:
        return "PASSWORD_RESET";
    case GetOOBConfirmationCodeRequestType::verifyEmail:
        return "VERIFY_EMAIL";
    case GetOOBConfirmationCodeRequestType::emailLink:
        return "EMAIL_SIGNIN";
    case GetOOBConfirmationCodeRequestType::verifyBeforeUpdateEmail:
        return "VERIFY_AND_CHANGE_EMAIL";
    }
    return {};
}

GetOOBConfirmationCodeResponse GetOOBConfirmationCodeResponse::initFromJSON(const nlohmann::json& object) {
    GetOOBConfirmationCodeResponse r;
    r.OOBCode = readText(object, "oobCode");
    return r;
}

GetOOBConfirmationCodeRequest::GetOOBConfirmationCodeRequest(GetOOBConfirmationCodeRequestType type,
                                                             const Settings& settings, Configuration configuration)
    : IdentityToolkitRequest("getOobConfirmationCode", std::move(configuration)), requestType(type) {
    if (settings) {
        if (settings->url) continueURL = settings->url->absoluteString();
        iOSBundleID = settings->iOSBundleID;
        androidPackageName = settings->androidPackageName;
        androidMinimumVersion = settings->androidMinimumVersion;
        androidInstallApp = settings->androidInstallIfNotAvailable;
        handleCodeInApp = settings->handleCodeInApp;
        linkDomain = settings->linkDomain;
    }
}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::forPasswordReset(std::string emailText,
                                                                              const Settings& settings,
                                                                              Configuration configuration) {
    GetOOBConfirmationCodeRequest r(GetOOBConfirmationCodeRequestType::passwordReset, settings,
                                    std::move(configuration));
    r.email = std::move(emailText);
    return r;
}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::forEmailLinkSignIn(std::string emailText,
                                                                                const Settings& settings,
                                                                                Configuration configuration) {
    GetOOBConfirmationCodeRequest r(GetOOBConfirmationCodeRequestType::emailLink, settings, std::move(configuration));
    r.email = std::move(emailText);
    return r;
}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::forEmailVerification(std::string token,
                                                                                  const Settings& settings,
                                                                                  Configuration configuration) {
    GetOOBConfirmationCodeRequest r(GetOOBConfirmationCodeRequestType::verifyEmail, settings, std::move(configuration));
    r.accessToken = std::move(token);
    return r;
}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::forVerifyBeforeUpdateEmail(std::string token,
                                                                                        std::string newEmail,
                                                                                        const Settings& settings,
                                                                                        Configuration configuration) {
    GetOOBConfirmationCodeRequest r(GetOOBConfirmationCodeRequestType::verifyBeforeUpdateEmail, settings,
                                    std::move(configuration));
    r.accessToken = std::move(token);
    r.updatedEmail = std::move(newEmail);
    return r;
}

std::optional<JSONBody> GetOOBConfirmationCodeRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["requestType"] = requestTypeText(requestType);
    switch (requestType) {
    case GetOOBConfirmationCodeRequestType::verifyEmail:
        if (accessToken) body["idToken"] = *accessToken;
        break;
    case GetOOBConfirmationCodeRequestType::verifyBeforeUpdateEmail:
        if (updatedEmail) body["newEmail"] = *updatedEmail;
        if (accessToken) body["idToken"] = *accessToken;
        break;
    case GetOOBConfirmationCodeRequestType::passwordReset:
    case GetOOBConfirmationCodeRequestType::emailLink:
        if (email) body["email"] = *email;
        break;
    }
    if (continueURL) body["continueUrl"] = *continueURL;
    if (iOSBundleID) body["iOSBundleId"] = *iOSBundleID;
    if (androidPackageName) body["androidPackageName"] = *androidPackageName;
    if (androidMinimumVersion) body["androidMinimumVersion"] = *androidMinimumVersion;
    if (androidInstallApp) body["androidInstallApp"] = true;
    if (handleCodeInApp) body["canHandleCodeInApp"] = true;
    if (linkDomain) body["linkDomain"] = *linkDomain;
    if (captchaResponse) body["captchaResp"] = *captchaResponse;
    body["clientType"] = clientType;
    if (recaptchaVersion) body["recaptchaVersion"] = *recaptchaVersion;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
