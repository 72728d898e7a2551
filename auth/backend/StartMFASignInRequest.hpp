// Starting a second-factor sign-in ("accounts/mfaSignIn:start") and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct StartMFASignInResponse {
    AuthProtoStartMFAPhoneResponseInfo responseInfo;

    // Fails with the unexpected-response error unless "phoneResponseInfo" is an object.
    static StartMFASignInResponse initFromJSON(const nlohmann::json& object);
};

// "accounts/mfaSignIn:start"; nothing in the system sends it.
class StartMFASignInRequest : public IdentityToolkitRequest {
public:
    using Response = StartMFASignInResponse;

    StartMFASignInRequest(std::optional<std::string> MFAPendingCredential, std::optional<std::string> MFAEnrollmentID,
                          std::optional<AuthProtoStartMFAPhoneRequestInfo> signInInfo,
                          std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> MFAPendingCredential;
    std::optional<std::string> MFAEnrollmentID;
    std::optional<AuthProtoStartMFAPhoneRequestInfo> signInInfo;
};

}  // namespace brisko::auth
