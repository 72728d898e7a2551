// The other sign-ins, the account operations of a user, profile changes, e-mail links, the emulator
// setting and revocation, and the faults mended in them.
#include <doctest/doctest.h>
#include <stdlib.h>

#include "auth/Auth.hpp"
#include "auth/UserProfileChangeRequest.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/ActionCodeSettings.hpp"
#include "auth/providers/EmailAuthCredential.hpp"
#include "tests/auth/AuthTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;

TEST_CASE("e-mail and password sign-in, account creation and their checks before any request") {
    AuthFixture f;
    f.service.createAccount("pw@example.com", "secret1");
    auto result = f.run(f.auth->signIn(std::string("pw@example.com"), std::string("secret1")));
    CHECK(result->additionalUserInfo()->providerID() == "password");
    CHECK_FALSE(result->additionalUserInfo()->isNewUser());
    CHECK(f.auth->currentUser() == result->user());

    f.service.clearRequests();
    CHECK(errorCode([&] { f.run(f.auth->signIn(std::string("pw@example.com"), std::string())); }) ==
          rawValue(AuthErrorCode::wrongPassword));
    std::optional<platform::Error> refused;
    f.auth->createUser("", "", [&](auto, platform::OptionalError e) { refused = e; });
    REQUIRE(refused);  // refused at once, on this thread
    CHECK(refused->code() == rawValue(AuthErrorCode::weakPassword));
    f.auth->createUser("", "x", [&](auto, platform::OptionalError e) { refused = e; });
    CHECK(refused->code() == rawValue(AuthErrorCode::missingEmail));
    f.settle();
    CHECK(f.service.requests().empty());

    auto created = f.run(f.auth->createUser("new@example.com", "secret2"));
    CHECK(created->additionalUserInfo()->isNewUser());
}

TEST_CASE("anonymous sign-in makes one account and reuses it while it is current") {
    AuthFixture f;
    auto first = f.run(f.auth->signInAnonymously());
    CHECK(first->user()->isAnonymous());
    CHECK(first->additionalUserInfo()->providerID().empty());
    f.service.clearRequests();
    auto second = f.run(f.auth->signInAnonymously());
    CHECK(second->user() == first->user());
    CHECK(f.service.requests().empty());
}

TEST_CASE("a profile change is sent once, saved and announced; a second commit is refused") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    auto change = user->createProfileChangeRequest();
    change->setDisplayName(std::string("First"));
    change->setDisplayName(std::string("Second"));
    f.run(change->commitChanges());
    CHECK(user->displayName() == std::optional<std::string>("Second"));
    const auto sent = f.service.requestsTo("setAccountInfo");
    REQUIRE(sent.size() == 1);
    CHECK(sent[0].json().value("displayName", "") == "Second");
    CHECK_FALSE(sent[0].json().contains("photoUrl"));
    CHECK(f.relaunch()->currentUser()->displayName() == std::optional<std::string>("Second"));

    std::optional<platform::Error> second;
    try {
        f.run(change->commitChanges());
    } catch (const platform::ErrorException& e) {
        second = e.error();
    }
    REQUIRE(second);
    CHECK(second->code() == rawValue(AuthErrorCode::internalError));
    CHECK(second->localizedDescription() == std::string(kCommitTwiceMessage));
    CHECK(f.service.requestsTo("setAccountInfo").size() == 1);
}

TEST_CASE("account operations: empty password, unknown provider, reload and deletion") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    std::optional<platform::Error> refused;
    user->updatePassword("", [&](platform::OptionalError e) { refused = e; });
    REQUIRE(refused);
    CHECK(refused->code() == rawValue(AuthErrorCode::weakPassword));

    CHECK(errorCode([&] { f.run(user->unlink("github.com")); }) == rawValue(AuthErrorCode::noSuchProvider));
    f.service.updateAccount(user->uid(), [](auto& account) { account.displayName = "Reloaded"; });
    f.run(user->reload());
    CHECK(user->displayName() == std::optional<std::string>("Reloaded"));

    f.run(user->deleteUser());
    CHECK(f.auth->currentUser() == nullptr);
    CHECK_FALSE(f.service.account(user->uid()).has_value());
}

TEST_CASE("recognising a sign-in link") {
    AuthFixture f;
    struct Case {
        const char* link;
        bool isSignIn;
    };
    const Case cases[] = {
        {"", false},
        {"https://example.com/?oobCode=abc&mode=signIn", true},
        {"https://example.com/?oobCode=abc&mode=SignIn", false},
        {"https://example.com/?oobCode=abc&mode=resetPassword", false},
        {"https://example.com/?mode=signIn", false},
        {"https://example.com/?link=https%3A%2F%2Fx.com%2F%3FoobCode%3Dabc%26mode%3DsignIn", false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.link);
        CHECK(f.auth->isSignIn(c.link) == c.isSignIn);
    }
}

TEST_CASE("an emulator address that cannot be parsed is refused and the client keeps its address") {
    AuthFixture f;
    const auto before = f.auth->requestConfiguration()->emulatorHostAndPort();
    CHECK_FALSE(f.auth->useEmulator("", 9099));
    CHECK_FALSE(f.auth->useEmulator("[::1]", 9099));
    CHECK_FALSE(f.auth->useEmulator("127.0.0.1", -1));
    CHECK(f.auth->requestConfiguration()->emulatorHostAndPort() == before);
    CHECK(f.auth->useEmulator("::1", 9099));
    CHECK(f.auth->requestConfiguration()->emulatorHostAndPort() == std::optional<std::string>("[::1]:9099"));
}

TEST_CASE("revoking a token with nobody signed in completes with an error instead of never") {
    AuthFixture f;
    CHECK(errorCode([&] { f.run(f.auth->revokeToken("code")); }) == rawValue(AuthErrorCode::nullUser));
    CHECK(f.service.requests().empty());
}

TEST_CASE("a link whose token fetch failed is not sent without an ID token") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    f.advance(std::chrono::seconds(3500));
    f.service.clearRequests();
    f.service.injectFault("token", testing::IdentityService::Fault::ofStatus(503));
    auto credential =
        std::make_shared<EmailAuthCredential>("link@example.com", EmailAuthCredential::Password{"secret9"});
    CHECK(errorCode([&] { f.run(user->link(credential)); }) == rawValue(AuthErrorCode::networkRequestFailed));
    CHECK(f.service.requestsTo("signupNewUser").empty());
    CHECK(f.auth->currentUser() == user);
}

TEST_CASE("an e-mail change that outlives its identity client completes with an error") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    f.auth.reset();
    CHECK(errorCode([&] { f.run(user->updateEmail("moved@example.com")); }) == rawValue(AuthErrorCode::internalError));
}

TEST_CASE("password reset codes, e-mail sign-in links, the app language and token revocation") {
    ::setenv("LANGUAGE", "ja_JP.UTF-8:en", 1);
    AuthFixture f;
    f.service.createAccount("reset@example.com", "secret1");
    f.run(f.auth->sendPasswordReset("reset@example.com", std::shared_ptr<const ActionCodeSettings>()));
    auto codes = f.service.oobCodes();
    REQUIRE(codes.size() == 1);
    CHECK(f.run(f.auth->verifyPasswordResetCode(codes[0].code)) == "reset@example.com");
    f.run(f.auth->confirmPasswordReset(codes[0].code, "secret2"));
    CHECK(f.run(f.auth->signIn(std::string("reset@example.com"), std::string("secret2")))->user());

    // A sign-in link needs handleCodeInApp; with it, the mailed code signs the address in.
    auto settings = std::make_shared<ActionCodeSettings>();
    f.service.clearRequests();
    CHECK(errorCode([&] { f.run(f.auth->sendSignInLink("link@example.com", settings)); }) != 0);
    CHECK(f.service.requests().empty());
    settings->setHandleCodeInApp(true);
    settings->setURL(platform::URL::parse("https://example.com/finish"));
    f.run(f.auth->sendSignInLink("link@example.com", settings));
    const auto linkCode = f.service.oobCodes().back().code;
    const auto link = "https://example.com/finish?oobCode=" + linkCode + "&mode=signIn";
    REQUIRE(f.auth->isSignIn(link));
    auto linked = f.run(f.auth->signInWithEmailLink("link@example.com", link));
    CHECK(linked->user()->email() == std::optional<std::string>("link@example.com"));
    CHECK(f.auth->currentUser() == linked->user());

    // Requests carry the user's preferred language once the client is told to use it.
    f.auth->useAppLanguage();
    f.service.clearRequests();
    f.run(f.auth->revokeToken("authorization-code"));
    const auto revocations = f.service.requestsTo("accounts:revokeToken");
    REQUIRE(revocations.size() == 1);
    CHECK(revocations[0].json().value("token", "") == "authorization-code");
    CHECK(revocations[0].json().value("idToken", "") == linked->user()->tokenService()->accessToken());
    CHECK(revocations[0].header("X-Zudiridi-Locale") == std::optional<std::string>("ja-JP"));
    ::unsetenv("LANGUAGE");
}
