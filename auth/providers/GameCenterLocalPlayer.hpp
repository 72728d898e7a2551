// The game platform's local player as the Game Center provider needs it: whether it is signed in, its
// identifiers and its identity-verification signature. Linux has no game platform service: no player
// is installed unless a caller (a test) installs one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

// What a signature operation calls back with; an error means the other fields are not looked at.
struct IdentityVerificationSignature {
    std::optional<platform::URL> publicKeyURL;
    std::optional<platform::Data> signature;
    std::optional<platform::Data> salt;
    std::uint64_t timestamp = 0;
    platform::OptionalError error;
};

class GameCenterLocalPlayer {
  public:
    using SignatureCallback = std::function<void(IdentityVerificationSignature)>;

    virtual ~GameCenterLocalPlayer() = default;

    // The local player of the installed game platform service; nullptr when there is none (always, on
    // Linux, unless one was installed).
    static std::shared_ptr<GameCenterLocalPlayer> localPlayer();
    static void install(std::shared_ptr<GameCenterLocalPlayer> player);

    virtual bool isAuthenticated() const = 0;
    // True when the service offers the identity-verification items (newer systems); otherwise only the
    // older signature operation is available.
    virtual bool supportsIdentityVerificationItems() const = 0;
    virtual std::optional<std::string> teamPlayerID() const = 0;
    virtual std::optional<std::string> gamePlayerID() const = 0;
    virtual std::optional<std::string> displayName() const = 0;
    virtual std::optional<std::string> playerID() const = 0;
    virtual std::optional<std::string> alias() const = 0;
    // Each calls back once, on a thread of the service's choosing.
    virtual void fetchItemsForIdentityVerificationSignature(SignatureCallback callback) = 0;
    virtual void generateIdentityVerificationSignature(SignatureCallback callback) = 0;
};

}  // namespace brisko::auth
