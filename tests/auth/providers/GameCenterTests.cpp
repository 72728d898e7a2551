// The Game Center credential from a stand-in local player, and what Linux users get without one.
#include <doctest/doctest.h>

#include <atomic>

#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/GameCenterAuthProvider.hpp"
#include "auth/providers/GameCenterLocalPlayer.hpp"

using namespace brisko;
using namespace brisko::auth;

namespace {

class FakeLocalPlayer : public GameCenterLocalPlayer {
  public:
    bool authenticated = true;
    bool newer = true;
    IdentityVerificationSignature answer;
    std::atomic<int> signatureCalls{0};

    bool isAuthenticated() const override { return authenticated; }
    bool supportsIdentityVerificationItems() const override { return newer; }
    std::optional<std::string> teamPlayerID() const override { return "T:team"; }
    std::optional<std::string> gamePlayerID() const override { return "G:game"; }
    std::optional<std::string> displayName() const override { return "Display"; }
    std::optional<std::string> playerID() const override { return "G:legacy"; }
    std::optional<std::string> alias() const override { return "Alias"; }
    void fetchItemsForIdentityVerificationSignature(SignatureCallback callback) override {
        ++signatureCalls;
        callback(answer);
    }
    void generateIdentityVerificationSignature(SignatureCallback callback) override {
        ++signatureCalls;
        callback(answer);
    }
};

struct Outcome {
    int calls = 0;
    std::shared_ptr<GameCenterAuthCredential> credential;
    platform::OptionalError error;
};

Outcome getCredential() {
    Outcome outcome;
    GameCenterAuthProvider::getCredentialWithCompletion([&](auto credential, auto error) {
        ++outcome.calls;
        outcome.credential = std::move(credential);
        outcome.error = std::move(error);
    });
    return outcome;
}

struct InstalledPlayer {
    std::shared_ptr<FakeLocalPlayer> player = std::make_shared<FakeLocalPlayer>();
    InstalledPlayer() { GameCenterLocalPlayer::install(player); }
    ~InstalledPlayer() { GameCenterLocalPlayer::install(nullptr); }
};

}  // namespace

TEST_CASE("without a game platform service (Linux) the credential fails at once with 17076") {
    auto outcome = getCredential();
    CHECK(outcome.calls == 1);
    CHECK_FALSE(outcome.credential);
    REQUIRE(outcome.error);
    CHECK(outcome.error->domain() == "ZIRAuthErrorDomain");
    CHECK(outcome.error->code() == 17076);
    CHECK(outcome.error->localizedDescription() ==
          "The GameKit framework is not linked. Please turn on the Game Center capability.");
}

TEST_CASE("a player who is not signed in gets 17066 without any signature request") {
    InstalledPlayer installed;
    installed.player->authenticated = false;
    auto outcome = getCredential();
    CHECK(outcome.calls == 1);
    REQUIRE(outcome.error);
    CHECK(outcome.error->code() == 17066);
    CHECK(installed.player->signatureCalls == 0);
}

TEST_CASE("the credential carries the signature and the identifiers of the operation used") {
    InstalledPlayer installed;
    installed.player->answer = {platform::URL::parse("https://keys.example/k.cer"), platform::Data{9},
                                platform::Data{8}, 1234, std::nullopt};
    SUBCASE("newer systems: team and game identifiers, an empty player ID, the display name") {
        auto outcome = getCredential();
        REQUIRE(outcome.credential);
        CHECK(outcome.credential->playerID() == "");
        CHECK(outcome.credential->teamPlayerID() == "T:team");
        CHECK(outcome.credential->gamePlayerID() == "G:game");
        CHECK(outcome.credential->displayName() == "Display");
        CHECK(outcome.credential->publicKeyURL()->absoluteString() == "https://keys.example/k.cer");
        CHECK(outcome.credential->signature() == platform::Data{9});
        CHECK(outcome.credential->salt() == platform::Data{8});
        CHECK(outcome.credential->timestamp() == 1234u);
    }
    SUBCASE("older systems: the legacy player ID and the alias") {
        installed.player->newer = false;
        auto outcome = getCredential();
        REQUIRE(outcome.credential);
        CHECK(outcome.credential->playerID() == "G:legacy");
        CHECK_FALSE(outcome.credential->teamPlayerID());
        CHECK(outcome.credential->displayName() == "Alias");
    }
    SUBCASE("the service's error is passed on unchanged") {
        installed.player->answer.error = platform::Error("GKErrorDomain", 3);
        auto outcome = getCredential();
        CHECK(outcome.calls == 1);
        CHECK_FALSE(outcome.credential);
        CHECK(outcome.error == platform::Error("GKErrorDomain", 3));
    }
}

TEST_CASE("the asynchronous form throws the provider's error") {
    CHECK_THROWS_AS(platform::runOnMainLoop(GameCenterAuthProvider::getCredential()), platform::ErrorException);
}
