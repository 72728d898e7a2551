// Game Center sign-in ("signInWithGameCenter") and its reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct SignInWithGameCenterResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;
    std::optional<std::string> localID;
    std::optional<std::string> playerID;
    std::optional<std::string> teamPlayerID;
    std::optional<std::string> gamePlayerID;
    std::optional<platform::Date> approximateExpirationDate;
    bool isNewUser = false;
    std::optional<std::string> displayName;

    static SignInWithGameCenterResponse initFromJSON(const nlohmann::json& object);
};

// Built field by field by the Game Center sign-in and link, which refuse a credential without key URL,
// signature or salt before making one.
class SignInWithGameCenterRequest : public IdentityToolkitRequest {
public:
    using Response = SignInWithGameCenterResponse;

    SignInWithGameCenterRequest(platform::URL publicKeyURL, platform::Data signature, platform::Data salt,
                                std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    // "playerId" is always sent (null when absent); signature and salt in URL-safe base64 without
    // padding; no "returnSecureToken", "tenantId" or "clientType".
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> playerID;
    std::optional<std::string> teamPlayerID;
    std::optional<std::string> gamePlayerID;
    platform::URL publicKeyURL;
    platform::Data signature;
    platform::Data salt;
    std::optional<std::uint64_t> timestamp;
    std::optional<std::string> accessToken;  // the user's ID token when linking
    std::optional<std::string> displayName;
};

}  // namespace brisko::auth
