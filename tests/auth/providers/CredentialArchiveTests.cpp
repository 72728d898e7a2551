// Credentials through the keyed archive: round trips, decoding precedence, damaged and foreign archives.
#include <doctest/doctest.h>

#include "auth/providers/EmailAuthProvider.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "auth/providers/FacebookAuthProvider.hpp"
#include "auth/providers/GameCenterAuthCredential.hpp"
#include "auth/providers/GitHubAuthProvider.hpp"
#include "auth/providers/OAuthCredential.hpp"
#include "auth/providers/PhoneAuthCredential.hpp"
#include "auth/providers/TwitterAuthProvider.hpp"
#include "tests/auth/providers/ArchiveFixtures.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using platform::Value;

TEST_CASE("every credential comes back from its archive with its provider and fields") {
    auto email = roundTrip(EmailAuthProvider::credential("a@b.c", "pw"));
    REQUIRE(email);
    CHECK(email->provider() == "password");
    CHECK(email->email() == "a@b.c");
    CHECK(email->emailType() == EmailAuthCredential::EmailType(EmailAuthCredential::Password{"pw"}));

    auto link = roundTrip(EmailAuthProvider::credentialWithLink("a@b.c", "https://l/?oobCode=1"));
    REQUIRE(link);
    REQUIRE(link->link());
    CHECK(*link->link() == "https://l/?oobCode=1");

    auto ezevar = roundTrip(EzevarAuthProvider::credential("id.token", ""));
    REQUIRE(ezevar);
    CHECK(ezevar->provider() == EzevarAuthProvider::id);
    CHECK(ezevar->idToken() == "id.token");
    CHECK(ezevar->accessToken() == "");

    auto facebook = roundTrip(FacebookAuthProvider::credential("fb"));
    REQUIRE(facebook);
    CHECK(facebook->provider() == kFacebookProviderID);
    CHECK(facebook->accessToken() == "fb");

    auto gitHub = roundTrip(GitHubAuthProvider::credential("gh"));
    REQUIRE(gitHub);
    CHECK(gitHub->provider() == kGitHubProviderID);
    CHECK(gitHub->token() == "gh");

    auto twitter = roundTrip(TwitterAuthProvider::credential("tw", "s3"));
    REQUIRE(twitter);
    CHECK(twitter->provider() == kTwitterProviderID);
    CHECK(twitter->token() == "tw");
    CHECK(twitter->secret() == "s3");

    for (const auto& kind : {PhoneAuthCredential::CredentialKind(PhoneAuthCredential::Verification{"vid", "123456"}),
                             PhoneAuthCredential::CredentialKind(PhoneAuthCredential::PhoneNumber{"+100", "proof"})}) {
        auto phone = roundTrip(std::make_shared<PhoneAuthCredential>(kind));
        REQUIRE(phone);
        CHECK(phone->provider() == "phone");
        CHECK(phone->credentialKind() == kind);
    }

    GameCenterAuthCredential::Fields game;
    game.playerID = "";
    game.teamPlayerID = "T:1";
    game.gamePlayerID = "G:1";
    game.publicKeyURL = platform::URL::parse("https://keys.example/key.cer");
    game.signature = platform::Data{1, 2, 3};
    game.salt = platform::Data{};
    game.timestamp = 0xFFFF'FFFF'FFFF'FFF0ULL;  // beyond the signed range: must come back unchanged
    game.displayName = "Player";
    auto gameCredential = roundTrip(std::make_shared<GameCenterAuthCredential>(game));
    REQUIRE(gameCredential);
    CHECK(gameCredential->provider() == kGameCenterProviderID);
    CHECK(gameCredential->fields() == game);
}

TEST_CASE("an archived OAuth credential keeps its provider, tokens and name but not the web sign-in's URL") {
    OAuthCredential::Fields fields;
    fields.idToken = "id";
    fields.accessToken = "at";
    fields.secret = "sec";
    fields.pendingToken = "pt";
    fields.rawNonce = "nonce";
    fields.OAuthResponseURLString = "https://r/";
    fields.sessionID = "sid";
    fields.fullName = platform::PersonNameComponents{.givenName = "Ada", .familyName = "Lovelace"};
    auto decoded = roundTrip(std::make_shared<OAuthCredential>("oidc.example", fields));
    REQUIRE(decoded);
    CHECK(decoded->provider() == "oidc.example");
    CHECK(decoded->IDToken() == "id");
    CHECK(decoded->accessToken() == "at");
    CHECK(decoded->secret() == "sec");
    CHECK(decoded->pendingToken() == "pt");
    CHECK(decoded->rawNonce() == "nonce");
    CHECK(decoded->fullName() == fields.fullName);
    CHECK_FALSE(decoded->OAuthResponseURLString());
    CHECK_FALSE(decoded->sessionID());

    // An archive written without the provider (an older one) still decodes, as "OAuth".
    auto old = unarchive<OAuthCredential>(rawArchive(OAuthCredential::kArchiveClassName, {{"IDToken", Value("id")}}));
    REQUIRE(old);
    CHECK(old->provider() == "OAuth");
    CHECK(old->IDToken() == "id");
}

TEST_CASE("decoding follows each credential's precedence rules") {
    SUBCASE("e-mail: password before link, nothing without either or without the address") {
        auto both = unarchive<EmailAuthCredential>(
            rawArchive(EmailAuthCredential::kArchiveClassName,
                       {{"email", Value("a@b")}, {"password", Value("pw")}, {"link", Value("https://l")}}));
        REQUIRE(both);
        CHECK(both->password());
        CHECK_FALSE(unarchive<EmailAuthCredential>(
            rawArchive(EmailAuthCredential::kArchiveClassName, {{"email", Value("a@b")}})));
        CHECK_FALSE(unarchive<EmailAuthCredential>(
            rawArchive(EmailAuthCredential::kArchiveClassName, {{"password", Value("pw")}})));
    }
    SUBCASE("phone: the verification kind needs both its texts, else the phone-number kind") {
        auto phone = unarchive<PhoneAuthCredential>(rawArchive(
            PhoneAuthCredential::kArchiveClassName,
            {{"verificationID", Value("vid")}, {"temporaryProof", Value("proof")}, {"phoneNumber", Value("+1")}}));
        REQUIRE(phone);
        CHECK(phone->credentialKind() ==
              PhoneAuthCredential::CredentialKind(PhoneAuthCredential::PhoneNumber{"+1", "proof"}));
        CHECK_FALSE(unarchive<PhoneAuthCredential>(
            rawArchive(PhoneAuthCredential::kArchiveClassName, {{"verificationID", Value("vid")}})));
    }
    SUBCASE("token credentials: a missing key leaves its field absent") {
        auto ezevar = unarchive<EzevarAuthCredential>(
            rawArchive(EzevarAuthCredential::kArchiveClassName, {{"accessToken", Value("at")}}));
        REQUIRE(ezevar);
        CHECK_FALSE(ezevar->idToken());
        CHECK(ezevar->accessToken() == "at");
        auto twitter = unarchive<TwitterAuthCredential>(rawArchive(TwitterAuthCredential::kArchiveClassName, {}));
        REQUIRE(twitter);
        CHECK_FALSE(twitter->token());
        CHECK_FALSE(twitter->secret());
    }
    SUBCASE("Game Center: a text or an object where the URL belongs, and no timestamp, leave both absent") {
        auto withObject = unarchive<GameCenterAuthCredential>(
            rawArchive(GameCenterAuthCredential::kArchiveClassName,
                       {{"publicKeyURL", Value::object(std::make_shared<RawObject>())}, {"displayName", Value("d")}}));
        REQUIRE(withObject);
        CHECK_FALSE(withObject->publicKeyURL());
        CHECK(withObject->displayName() == "d");
        auto game = unarchive<GameCenterAuthCredential>(
            rawArchive(GameCenterAuthCredential::kArchiveClassName,
                       {{"publicKeyURL", Value("https://keys.example/")}, {"playerID", Value("p")}}));
        REQUIRE(game);
        CHECK_FALSE(game->publicKeyURL());
        CHECK_FALSE(game->timestamp());
        CHECK(game->playerID() == "p");
    }
}

TEST_CASE("damaged and foreign archives are errors, never a crash or a wrong object") {
    const auto data = archive(EmailAuthProvider::credential("a@b.c", "pw"));
    SUBCASE("every truncation of an archive") {
        for (std::size_t size = 0; size < data.size(); ++size) {
            CAPTURE(size);
            CHECK(decodesToNothing<EmailAuthCredential>(
                platform::Data(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size))));
        }
    }
    SUBCASE("an archive of another credential class") {
        CHECK_THROWS_AS(unarchive<FacebookAuthCredential>(data), platform::ErrorException);
    }
    SUBCASE("a field of the wrong class") {
        const auto wrong = rawArchive(EmailAuthCredential::kArchiveClassName,
                                      {{"email", Value(std::int64_t{5})}, {"password", Value("pw")}});
        CHECK(decodesToNothing<EmailAuthCredential>(wrong));
        // A token of another class is left absent; the rest of the credential still decodes.
        auto twitter = unarchive<TwitterAuthCredential>(rawArchive(
            TwitterAuthCredential::kArchiveClassName, {{"token", Value(platform::Data{1})}, {"secret", Value("s")}}));
        REQUIRE(twitter);
        CHECK_FALSE(twitter->token());
        CHECK(twitter->secret() == "s");
        auto oauth = unarchive<OAuthCredential>(rawArchive(
            OAuthCredential::kArchiveClassName, {{"fullName", Value("Ada")}, {"providerID", Value("p.example")}}));
        REQUIRE(oauth);
        CHECK_FALSE(oauth->fullName());
        CHECK(oauth->provider() == "p.example");
    }
}

TEST_CASE("provider identifiers compare by their text") {
    CHECK(AuthProviderID::email() == AuthProviderID::custom("password"));
    CHECK_FALSE(AuthProviderID::ezevar() == AuthProviderID::gitHub());
    CHECK(AuthProviderID::phone().rawValue == "phone");
}
