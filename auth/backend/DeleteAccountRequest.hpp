// The account deletion call; its reply carries nothing the system reads.
#pragma once

#include <string>
#include <string_view>

#include "auth/backend/EmptyResponse.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

using DeleteAccountResponse = EmptyResponse;

class DeleteAccountRequest : public IdentityToolkitRequest {
public:
    using Response = DeleteAccountResponse;

    // Note the order: the user's identifier first, its token second.
    DeleteAccountRequest(std::string localID, std::string accessToken,
                         std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string accessToken;
    std::string localID;
};

}  // namespace brisko::auth
