// Sending a verification code.
#include "auth/backend/SendVerificationCodeRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

SendVerificationCodeResponse SendVerificationCodeResponse::initFromJSON(const nlohmann::json& object) {
    return {readText(object, "sessionInfo")};
}

SendVerificationCodeRequest::SendVerificationCodeRequest(std::string phone, CodeIdentity identity,
                                                         std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("sendVerificationCode", std::move(configuration)), phoneNumber(std::move(phone)),
      codeIdentity(std::move(identity)) {}

std::optional<JSONBody> SendVerificationCodeRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["phoneNumber"] = phoneNumber;
    codeIdentity.addTo(body);
    if (captchaResponse) body["captchaResponse"] = *captchaResponse;
    if (recaptchaVersion) body["recaptchaVersion"] = *recaptchaVersion;
    addTenant(body);
    body["clientType"] = clientType;
    return body;
}

}  // namespace brisko::auth
