// The sign-in layer's value objects: scopes, claims, callback schemes, tokens, profile, configuration,
// options, errors, and the legacy persistence text.
#include <doctest/doctest.h>

#include "oauth/AuthState.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "signin/Claim.hpp"
#include "signin/Configuration.hpp"
#include "signin/EzevarUser.hpp"
#include "signin/ProfileData.hpp"
#include "signin/Scopes.hpp"
#include "signin/SignIn.hpp"
#include "signin/SignInCallbackSchemes.hpp"
#include "signin/SignInInternalOptions.hpp"
#include "signin/SignInPreferences.hpp"
#include "signin/session/KeychainStoreError.hpp"
#include "signin/session/OAuth2Compatibility.hpp"
#include "tests/signin/SigninTestSupport.hpp"

using namespace brisko;
using namespace brisko::signin;
using Strings = std::vector<std::string>;

TEST_CASE("the basic-profile scopes are added after the caller's, unless present in either form") {
    const std::string longEmail = Scopes::emailLongForm();
    struct Case {
        Strings given, expected;
    };
    for (const auto& c : {Case{{}, {"email", "profile"}}, Case{{"email"}, {"email", "profile"}},
                          Case{{longEmail, "calendar"}, {longEmail, "calendar", "profile"}},
                          Case{{"profile", "x"}, {"profile", "x", "email"}}}) {
        CHECK(Scopes::scopesWithBasicProfile(c.given) == c.expected);
    }
    CHECK(longEmail == "https://www.ezevarapis.com/auth/userinfo.email");
}

TEST_CASE("claims become the id_token JSON; a claim asked both ways is -7") {
    ClaimsInternalOptions options;
    platform::OptionalError error;
    CHECK_FALSE(options.validatedJSONStringForClaims({}, error));
    CHECK_FALSE(error);
    CHECK(options.validatedJSONStringForClaims({Claim::essentialAuthTimeClaim()}, error) ==
          R"({"id_token":{"auth_time":{"essential":true}}})");
    CHECK(options.validatedJSONStringForClaims({Claim::authTimeClaim(), Claim::essentialAuthTimeClaim()}, error) ==
          std::nullopt);
    REQUIRE(error);
    CHECK(error->domain() == "com.ezevar.EIDSignIn");
    CHECK(error->code() == -7);
    CHECK(error->localizedDescription() ==
          "The claim was requested as both essential and non-essential. Please provide only one version.");
}

TEST_CASE("the callback scheme is the reversed client ID; a declaration in capitals counts") {
    CHECK(SignInCallbackSchemes("123-abc.apps.ezevarusercontent.com").clientIdentifierScheme() ==
          "com.ezevarusercontent.apps.123-abc");
    CHECK(SignInCallbackSchemes("NoDots").clientIdentifierScheme() == "nodots");
    {
        testing::SignInEnvironment env("123-abc.apps.ezevarusercontent.com", "COM.EzevarUserContent.apps.123-ABC");
        SignInCallbackSchemes schemes("123-abc.apps.ezevarusercontent.com");
        CHECK(schemes.unsupportedSchemes().empty());
        CHECK(schemes.URLSchemeIsCallbackScheme(
            *platform::URL::parse("COM.ezevarusercontent.apps.123-abc:/oauth2callback")));
    }
    {
        testing::SignInEnvironment env("123-abc.apps.ezevarusercontent.com", "other.scheme");
        CHECK(SignInCallbackSchemes("123-abc.apps.ezevarusercontent.com").unsupportedSchemes() ==
              Strings{"com.ezevarusercontent.apps.123-abc"});
    }
}

TEST_CASE("tokens are equal by text and expiry; two missing dates are the same") {
    const auto when = std::chrono::system_clock::now();
    CHECK(Token("a", std::nullopt) == Token("a", std::nullopt));
    CHECK(Token("a", when) == Token("a", when));
    CHECK_FALSE(Token("a", when) == Token("a", std::nullopt));
    CHECK_FALSE(Token("a", std::nullopt) == Token("a", when));
    CHECK_FALSE(Token("a", when) == Token("b", when));
    CHECK(Token("a", when).hash() == Token("a", when).hash());
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Token>("t", when), true);
    auto back = platform::KeyedUnarchiver::unarchivedObjectOfClass<Token>(data);
    REQUIRE(back);
    CHECK(*back == Token("t", when));
}

TEST_CASE("avatar URLs are sized by path on Ezevar's hosts and by query elsewhere") {
    ProfileData avatar(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                       platform::URL::parse("https://lh3.ezevarusercontent.com/a/photo=s96-c"));
    CHECK(avatar.imageURLWithDimension(120)->absoluteString() == "https://lh3.ezevarusercontent.com/a/photo=s120");
    ProfileData other(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      platform::URL::parse("https://images.example.com/me.png?size=10&x=1"));
    CHECK(other.imageURLWithDimension(120)->absoluteString() == "https://images.example.com/me.png?sz=120");
    CHECK_FALSE(ProfileData::isFIFEAvatarURL(*platform::URL::parse("https://lh7.ezevarusercontent.com/a/p")));
    CHECK(ProfileData::isFIFEAvatarURL(*platform::URL::parse("https://lh4-dz.ezevarimg.com/a-/p")));
    ProfileData none(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    CHECK_FALSE(none.imageURLWithDimension(10));
}

TEST_CASE("a profile reads the legacy picture key; a configuration without a client ID decodes to nothing") {
    platform::KeyedArchiver archiver(true);
    archiver.encodeObject(platform::Value(std::string("a@b.test")), "email");
    archiver.encodeObject(platform::Value(std::string("https://example.com/p.png")), "picture");
    auto data = archiver.encodedData();
    // The keys above sit at the top of the archive; a profile decodes from a coder over them.
    platform::KeyedUnarchiver unarchiver(data);
    auto profile = ProfileData::initWithCoder(unarchiver);
    REQUIRE(profile);
    CHECK(profile->email() == "a@b.test");
    CHECK(profile->imageURLWithDimension(5)->absoluteString() == "https://example.com/p.png?sz=5");

    platform::KeyedArchiver empty(true);
    empty.encodeObject(platform::Value(std::string("server")), "serverClientID");
    auto emptyData = empty.encodedData();
    platform::KeyedUnarchiver emptyCoder(emptyData);
    CHECK_FALSE(Configuration::initWithCoder(emptyCoder));
    Configuration configuration("client", std::nullopt, "example.com");
    CHECK(configuration.description().find("clientID: client, serverClientID: (null), hostedDomain: example.com") !=
          std::string::npos);
}

TEST_CASE("options for a continuation keep everything but the nonce and the claims text") {
    auto options = SignInInternalOptions::defaultOptions(std::make_shared<Configuration>("c"), 7, "hint", false, {"x"},
                                                         "nonce-1", {Claim::authTimeClaim()}, nullptr);
    options->setClaimsAsJSON("{}");
    auto copy = options->optionsWithExtraParameters({{"emmres", "1"}}, true);
    CHECK(copy->continuation());
    CHECK(copy->presentingWindow() == 7);
    CHECK(copy->scopes() == Strings{"x", "email", "profile"});
    CHECK(copy->loginHint() == "hint");
    CHECK_FALSE(copy->nonce());
    CHECK_FALSE(copy->claimsAsJSON());
    CHECK(copy->claims().size() == 1);
    CHECK(copy->extraParams().at("emmres") == "1");
    auto silent = SignInInternalOptions::silentOptions(nullptr);
    CHECK_FALSE(silent->interactive());
    CHECK_FALSE(silent->configuration());
    CHECK(versionTag() == "eid-9.1.0");
}

TEST_CASE("the legacy text is written in key order with reserved characters escaped, and reads back") {
    testing::StateTokens tokens;
    tokens.accessToken = "a/b+c=d&e%f";
    tokens.refreshToken = "refresh 1";
    tokens.scope = std::nullopt;
    auto state = testing::makeAuthState(tokens);
    auto session = AuthSession::make(state, std::nullopt, std::nullopt, "me@example.test");
    auto text = OAuth2Compatibility::persistenceResponseStringForAuthSession(*session);
    REQUIRE(text);
    // The state's scope comes from the authorization request ("email profile").
    CHECK(*text == "access_token=a%2Fb%2Bc%3Dd%26e%25f&refresh_token=refresh%201&scope=email%20profile&userEmail=me%"
                   "40example.test");

    platform::OptionalError error;
    auto back = OAuth2Compatibility::authSessionForPersistenceString(
        *text, OAuth2Compatibility::ezevarTokenURL(), "urn:ietf:wg:oauth:2.0:oob", "client", std::nullopt, error);
    REQUIRE(back);
    CHECK_FALSE(error);
    CHECK(back->authState()->refreshToken() == "refresh 1");
    CHECK(back->authState()->lastTokenResponse()->accessToken() == "a/b+c=d&e%f");
    CHECK(back->storedUserEmail() == "me@example.test");
    CHECK_FALSE(back->authState()->isTokenFresh());
    // Written back unchanged.
    CHECK(OAuth2Compatibility::persistenceResponseStringForAuthSession(*back) == text);

    CHECK_FALSE(OAuth2Compatibility::authSessionForPersistenceString(*text, OAuth2Compatibility::ezevarTokenURL(),
                                                                     "not a url", "client", std::nullopt, error));
    REQUIRE(error);
    CHECK(error->domain() == "ETMOAuthClientKeychainErrorDomain");
    CHECK(error->code() == 5);
    CHECK(*error->userInfoValue("redirectURI") == platform::Value("not a url"));
}

TEST_CASE("a legacy text with scope and user fields rebuilds them, skipping damaged pieces") {
    platform::OptionalError error;
    auto session = OAuth2Compatibility::authSessionForPersistenceString(
        "scope=email%20profile&userID=42&bad=%zz&userEmailIsVerified=true&refresh_token=r&novalue",
        OAuth2Compatibility::ezevarTokenURL(), "urn:ietf:wg:oauth:2.0:oob", "client", std::nullopt, error);
    REQUIRE(session);
    CHECK(session->authState()->scope() == "email profile");
    CHECK(session->userID() == "42");
    CHECK(session->userEmailIsVerified());
    CHECK(keychainStoreErrorCode(10) == KeychainStoreErrorCode::failedToSetPassword);
    CHECK_FALSE(keychainStoreErrorCode(11));
}
