// Game Center sign-in.
#include "auth/backend/SignInWithGameCenterRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::auth {

using namespace detail;

SignInWithGameCenterResponse SignInWithGameCenterResponse::initFromJSON(const nlohmann::json& object) {
    SignInWithGameCenterResponse r;
    r.idToken = readText(object, "idToken");
    r.refreshToken = readText(object, "refreshToken");
    r.localID = readText(object, "localId");
    r.playerID = readText(object, "playerId");
    r.teamPlayerID = readText(object, "teamPlayerId");
    r.gamePlayerID = readText(object, "gamePlayerId");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.isNewUser = readBoolean(object, "isNewUser");
    r.displayName = readText(object, "displayName");
    return r;
}

SignInWithGameCenterRequest::SignInWithGameCenterRequest(platform::URL keyURL, platform::Data signatureBytes,
                                                         platform::Data saltBytes,
                                                         std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("signInWithGameCenter", std::move(configuration)), publicKeyURL(std::move(keyURL)),
      signature(std::move(signatureBytes)), salt(std::move(saltBytes)) {}

std::optional<JSONBody> SignInWithGameCenterRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["playerId"] = playerID ? JSONBody(*playerID) : JSONBody(nullptr);
    body["publicKeyUrl"] = publicKeyURL.absoluteString();
    body["signature"] = platform::crypto::base64URLEncode(signature);
    body["salt"] = platform::crypto::base64URLEncode(salt);
    if (timestamp && *timestamp != 0) body["timestamp"] = *timestamp;
    if (teamPlayerID) body["teamPlayerId"] = *teamPlayerID;
    if (gamePlayerID) body["gamePlayerId"] = *gamePlayerID;
    if (accessToken) body["idToken"] = *accessToken;
    if (displayName) body["displayName"] = *displayName;
    return body;
}

}  // namespace brisko::auth
