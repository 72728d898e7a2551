// Starting a second-factor sign-in.
#include "auth/backend/StartMFASignInRequest.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

StartMFASignInResponse StartMFASignInResponse::initFromJSON(const nlohmann::json& object) {
    const auto* info = member(object, "phoneResponseInfo");
    if (!info || !info->is_object()) throwUnexpectedResponse(object);
    return {AuthProtoStartMFAPhoneResponseInfo{readText(*info, "sessionInfo")}};
}

StartMFASignInRequest::StartMFASignInRequest(std::optional<std::string> pendingCredential,
                                             std::optional<std::string> enrollmentID,
                                             std::optional<AuthProtoStartMFAPhoneRequestInfo> info,
                                             std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaSignIn:start", std::move(configuration), true),
      MFAPendingCredential(std::move(pendingCredential)), MFAEnrollmentID(std::move(enrollmentID)),
      signInInfo(std::move(info)) {}

std::optional<JSONBody> StartMFASignInRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (MFAPendingCredential) body["mfaPendingCredential"] = *MFAPendingCredential;
    if (MFAEnrollmentID) body["mfaEnrollmentId"] = *MFAEnrollmentID;
    if (signInInfo) body["phoneSignInInfo"] = signInInfo->dictionary();
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
