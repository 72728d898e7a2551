// The Game Center provider: a credential from the local player's identity-verification signature.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/GameCenterAuthCredential.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

class GameCenterAuthProvider {
  public:
    using Completion = std::function<void(std::shared_ptr<GameCenterAuthCredential>, platform::OptionalError)>;

    static constexpr std::string_view id = kGameCenterProviderID;

    GameCenterAuthProvider() = delete;

    // Calls the completion exactly once: before returning when there is no game platform service
    // (17076, always the case on Linux) or the player is not signed in (17066); otherwise on the thread
    // on which the service answers, with the credential or the service's error.
    static void getCredentialWithCompletion(Completion completion);
    static platform::Task<std::shared_ptr<GameCenterAuthCredential>> getCredential();
};

}  // namespace brisko::auth
