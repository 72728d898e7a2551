// The Game Center credential: the local player's identifiers and its identity-verification signature.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/net/URL.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

// A URL in a keyed archive, under the platform's class name.
struct ArchivedURL {
    static constexpr std::string_view kArchiveClassName = "NSURL";
    static constexpr std::string_view kRelativeKey = "NS.relative";

    platform::URL url;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<ArchivedURL> initWithCoder(platform::KeyedUnarchiver& coder);
};

// The identity client sends it to the Game Center sign-in endpoint, never through a verify-assertion
// request.
class GameCenterAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRGameCenterAuthCredential";
    static constexpr std::string_view kPlayerIDKey = "playerID";
    static constexpr std::string_view kTeamPlayerIDKey = "teamPlayerID";
    static constexpr std::string_view kGamePlayerIDKey = "gamePlayerID";
    static constexpr std::string_view kPublicKeyURLKey = "publicKeyURL";
    static constexpr std::string_view kSignatureKey = "signature";
    static constexpr std::string_view kSaltKey = "salt";
    static constexpr std::string_view kTimestampKey = "timestamp";
    static constexpr std::string_view kDisplayNameKey = "displayName";

    struct Fields {
        std::optional<std::string> playerID;
        std::optional<std::string> teamPlayerID;
        std::optional<std::string> gamePlayerID;
        std::optional<platform::URL> publicKeyURL;
        std::optional<platform::Data> signature;
        std::optional<platform::Data> salt;
        std::optional<std::uint64_t> timestamp;
        std::optional<std::string> displayName;
        bool operator==(const Fields&) const = default;
    };

    explicit GameCenterAuthCredential(Fields fields);

    const std::optional<std::string>& playerID() const { return fields_.playerID; }
    const std::optional<std::string>& teamPlayerID() const { return fields_.teamPlayerID; }
    const std::optional<std::string>& gamePlayerID() const { return fields_.gamePlayerID; }
    const std::optional<platform::URL>& publicKeyURL() const { return fields_.publicKeyURL; }
    const std::optional<platform::Data>& signature() const { return fields_.signature; }
    const std::optional<platform::Data>& salt() const { return fields_.salt; }
    const std::optional<std::uint64_t>& timestamp() const { return fields_.timestamp; }
    const std::optional<std::string>& displayName() const { return fields_.displayName; }
    const Fields& fields() const { return fields_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: each missing or unsuitable entry leaves its field absent.
    static std::shared_ptr<GameCenterAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const Fields fields_;
};

}  // namespace brisko::auth
