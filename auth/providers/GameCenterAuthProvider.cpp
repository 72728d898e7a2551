// Getting a Game Center credential from the local player.
#include "auth/providers/GameCenterAuthProvider.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/GameCenterLocalPlayer.hpp"

namespace brisko::auth {

void GameCenterAuthProvider::getCredentialWithCompletion(Completion completion) {
    auto player = GameCenterLocalPlayer::localPlayer();
    if (!player) {
        completion(nullptr, AuthErrorUtils::makeError(AuthErrorCode::gameKitNotLinked));
        return;
    }
    if (!player->isAuthenticated()) {
        completion(nullptr, AuthErrorUtils::makeError(AuthErrorCode::localPlayerNotAuthenticated));
        return;
    }
    const bool newer = player->supportsIdentityVerificationItems();
    auto answer = [player, newer, completion = std::move(completion)](IdentityVerificationSignature signature) {
        if (signature.error) {
            completion(nullptr, std::move(signature.error));
            return;
        }
        GameCenterAuthCredential::Fields fields;
        if (newer) {
            fields.playerID = std::string();
            fields.teamPlayerID = player->teamPlayerID();
            fields.gamePlayerID = player->gamePlayerID();
            fields.displayName = player->displayName();
        } else {
            fields.playerID = player->playerID();
            fields.displayName = player->alias();
        }
        fields.publicKeyURL = std::move(signature.publicKeyURL);
        fields.signature = std::move(signature.signature);
        fields.salt = std::move(signature.salt);
        fields.timestamp = signature.timestamp;
        completion(std::make_shared<GameCenterAuthCredential>(std::move(fields)), std::nullopt);
    };
    if (newer) {
        player->fetchItemsForIdentityVerificationSignature(std::move(answer));
    } else {
        player->generateIdentityVerificationSignature(std::move(answer));
    }
}

platform::Task<std::shared_ptr<GameCenterAuthCredential>> GameCenterAuthProvider::getCredential() {
    return awaitCompletion<std::shared_ptr<GameCenterAuthCredential>>(
        [](auto callback) { getCredentialWithCompletion(std::move(callback)); });
}

}  // namespace brisko::auth
