// What each credential writes into a verify-assertion request, and OAuth credentials from a
// verify-assertion reply.
#include <doctest/doctest.h>

#include "auth/backend/AuthRequestConfiguration.hpp"
#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/EmailAuthProvider.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "auth/providers/FacebookAuthProvider.hpp"
#include "auth/providers/GitHubAuthProvider.hpp"
#include "auth/providers/OAuthProvider.hpp"
#include "auth/providers/TwitterAuthProvider.hpp"
#include "tests/auth/providers/ArchiveFixtures.hpp"
#include "tests/auth/providers/FatalCheck.hpp"

using namespace brisko;
using namespace brisko::auth;

namespace {

VerifyAssertionRequest prepared(const AuthCredential& credential) {
    VerifyAssertionRequest request(credential.provider(), AuthRequestConfiguration::make("key", "app"));
    credential.prepare(request);
    return request;
}

struct Written {
    std::optional<std::string> idToken, accessToken, rawNonce, secret, requestURI, sessionID, pendingToken;
    bool operator==(const Written&) const = default;
};

Written written(const VerifyAssertionRequest& r) {
    return {r.providerIDToken, r.providerAccessToken, r.providerRawNonce, r.providerOAuthTokenSecret,
            r.requestURI,      r.sessionID,           r.pendingToken};
}

}  // namespace

TEST_CASE("each credential writes exactly its own material into the request, unchanged") {
    CHECK(written(prepared(*EzevarAuthProvider::credential("id.tok", ""))) ==
          Written{.idToken = "id.tok", .accessToken = ""});
    CHECK(written(prepared(*FacebookAuthProvider::credential("fb"))) == Written{.accessToken = "fb"});
    CHECK(written(prepared(*GitHubAuthProvider::credential("gh"))) == Written{.accessToken = "gh"});
    CHECK(written(prepared(*TwitterAuthProvider::credential("tw", "sec"))) ==
          Written{.accessToken = "tw", .secret = "sec"});

    // A credential decoded without its ID token leaves the field absent.
    auto decoded = test::unarchive<EzevarAuthCredential>(
        test::rawArchive(EzevarAuthCredential::kArchiveClassName, {{"accessToken", platform::Value("at")}}));
    REQUIRE(decoded);
    CHECK(written(prepared(*decoded)) == Written{.accessToken = "at"});

    OAuthCredential::Fields fields{.idToken = "i",
                                   .accessToken = "a",
                                   .secret = "s",
                                   .OAuthResponseURLString = "https://r",
                                   .sessionID = "sid",
                                   .pendingToken = "p",
                                   .fullName = platform::PersonNameComponents{.givenName = "Ada"},
                                   .rawNonce = "n"};
    const auto request = prepared(OAuthCredential("oidc.example", fields));
    CHECK(written(request) == Written{"i", "a", "n", "s", "https://r", "sid", "p"});
    CHECK(request.fullName == fields.fullName);
    CHECK(request.providerID == "oidc.example");
    CHECK(request.autoCreate);
}

TEST_CASE("an OAuth credential from a verify-assertion reply needs a token with a character") {
    VerifyAssertionResponse response;
    CHECK_FALSE(OAuthCredential::initFromVerifyAssertionResponse(response));
    response.oauthAccessToken = "";
    CHECK_FALSE(OAuthCredential::initFromVerifyAssertionResponse(response));

    response.oauthSecretToken = "secret";
    response.pendingToken = "pending";
    auto credential = OAuthCredential::initFromVerifyAssertionResponse(response);
    REQUIRE(credential);
    CHECK(credential->provider() == "OAuth");
    CHECK(credential->accessToken() == "");
    CHECK(credential->secret() == "secret");
    CHECK(credential->pendingToken() == "pending");
    CHECK_FALSE(credential->rawNonce());

    response.providerID = "github.com";
    response.oauthIDToken = "id";
    CHECK(OAuthCredential::initFromVerifyAssertionResponse(response)->provider() == "github.com");
}

TEST_CASE("the OAuth provider's factories set only the fields they name") {
    auto a = OAuthProvider::credential("p.example", "id", std::nullopt);
    CHECK(a->fields() == OAuthCredential::Fields{.idToken = "id"});
    auto b = OAuthProvider::credential(AuthProviderID::custom("p.example"), "at");
    CHECK(b->provider() == "p.example");
    CHECK(b->fields() == OAuthCredential::Fields{.accessToken = "at"});
    auto c = OAuthProvider::credential("p.example", "id", "nonce", "at");
    CHECK(c->fields() == OAuthCredential::Fields{.idToken = "id", .accessToken = "at", .rawNonce = "nonce"});
    auto d = OAuthProvider::credentialWithRawNonce("p.example", "id", "nonce");
    CHECK(d->fields() == OAuthCredential::Fields{.idToken = "id", .rawNonce = "nonce"});
    auto apple = OAuthProvider::appleCredential("id", std::nullopt, platform::PersonNameComponents{.familyName = "L"});
    CHECK(apple->provider() == kAppleProviderID);
    CHECK(apple->fullName()->familyName == "L");
}

TEST_CASE("a credential kind without its own request filling is a programming error" *
          doctest::test_suite("stops the process")) {
    auto email = EmailAuthProvider::credential("a@b.c", "pw");
    auto output = test::stopsWith([&] { prepared(*email); });
    REQUIRE(output);
    CHECK(output->find("This method must be overridden by a subclass.") != std::string::npos);
}
