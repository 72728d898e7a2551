// The reset-password call.
#include "auth/backend/ResetPasswordRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

ResetPasswordResponse ResetPasswordResponse::initFromJSON(const nlohmann::json& object) {
    ResetPasswordResponse r;
    r.email = readText(object, "email");
    r.requestType = readText(object, "requestType");
    r.verifiedEmail = readText(object, "newEmail");
    return r;
}

ResetPasswordRequest::ResetPasswordRequest(std::string code, std::optional<std::string> newPassword,
                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("resetPassword", std::move(configuration)), oobCode(std::move(code)),
      updatedPassword(std::move(newPassword)) {}

std::optional<JSONBody> ResetPasswordRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["oobCode"] = oobCode;
    if (updatedPassword) body["newPassword"] = *updatedPassword;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
