// Withdrawing a second-factor enrollment.
#include "auth/backend/WithdrawMFARequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

WithdrawMFAResponse WithdrawMFAResponse::initFromJSON(const nlohmann::json& object) {
    return {readText(object, "idToken"), readText(object, "refreshToken")};
}

WithdrawMFARequest::WithdrawMFARequest(std::optional<std::string> token, std::optional<std::string> enrollmentID,
                                       std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:withdraw", std::move(configuration), true),
      idToken(std::move(token)), mfaEnrollmentID(std::move(enrollmentID)) {}

std::optional<JSONBody> WithdrawMFARequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (idToken) body["idToken"] = *idToken;
    if (mfaEnrollmentID) body["mfaEnrollmentId"] = *mfaEnrollmentID;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
