// A user's account changes against the local identity service: re-authentication and whose tokens it
// installs, the order of concurrent changes, cleared profile fields, the fields a change's reply sets,
// and an account deleted at the service.
#include <doctest/doctest.h>

#include "auth/Auth.hpp"
#include "auth/UserProfileChangeRequest.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/EmailAuthProvider.hpp"
#include "auth/providers/GitHubAuthProvider.hpp"
#include "tests/auth/AuthTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using Fault = brisko::testing::IdentityService::Fault;

namespace {
struct Outcome {
    std::shared_ptr<AuthDataResult> result;
    std::optional<platform::Error> error;
};

Outcome reauthenticate(const std::shared_ptr<User>& user, std::shared_ptr<const AuthCredential> credential) {
    Outcome outcome;
    bool done = false;
    user->reauthenticate(std::move(credential), [&](std::shared_ptr<AuthDataResult> r, platform::OptionalError e) {
        outcome.result = std::move(r);
        outcome.error = std::move(e);
        done = true;
    });
    REQUIRE(waitOnMain([&] { return done; }));
    return outcome;
}

// The subject ("user_id") of an ID token.
std::string subjectOf(const std::string& idToken) {
    return brisko::testing::IdentityService::jwtClaims(idToken).value("user_id", std::string());
}
}  // namespace

TEST_CASE("re-authentication installs only this user's own fresh tokens") {
    struct Case {
        const char* name;
        bool asOtherObject;  // the user object that is not the current one re-authenticates
        const char* email;
        const char* password;
        std::int64_t code;  // 0: success
        bool givesResult;
    };
    const Case cases[] = {
        {"its own credential", false, "b@example.com", "secret-b", 0, true},
        {"a wrong password", false, "b@example.com", "wrong-pw", rawValue(AuthErrorCode::wrongPassword), false},
        {"another account's credential", false, "a@example.com", "secret-a", rawValue(AuthErrorCode::userMismatch),
         true},
        {"an unknown account", false, "nobody@example.com", "secret-x", rawValue(AuthErrorCode::userMismatch), false},
        // The user object of A, no longer current, with the credential of B, who is.
        {"the current account's credential on another user object", true, "b@example.com", "secret-b",
         rawValue(AuthErrorCode::userMismatch), true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        AuthFixture f;
        f.service.createAccount("a@example.com", "secret-a");
        f.service.createAccount("b@example.com", "secret-b");
        auto a = f.run(f.auth->signIn(std::string("a@example.com"), std::string("secret-a")))->user();
        auto b = f.run(f.auth->signIn(std::string("b@example.com"), std::string("secret-b")))->user();
        REQUIRE(f.auth->currentUser() == b);
        auto user = c.asOtherObject ? a : b;
        const auto uid = user->uid();
        const auto before = user->tokenService()->tokens();
        f.advance(std::chrono::seconds(10));  // a fresh sign-in gives other token texts

        auto outcome = reauthenticate(user, EmailAuthProvider::credential(c.email, c.password));
        CHECK((outcome.result != nullptr) == c.givesResult);
        if (c.code == 0) {
            CHECK_FALSE(outcome.error);
            CHECK(user->tokenService()->accessToken() != before.accessToken);
            CHECK(subjectOf(user->tokenService()->accessToken()) == uid);
            // Stored as the current user's new tokens.
            CHECK(f.relaunch()->currentUser()->tokenService()->accessToken() == user->tokenService()->accessToken());
        } else {
            REQUIRE(outcome.error);
            CHECK(outcome.error->code() == c.code);
            const auto after = user->tokenService()->tokens();
            CHECK(after.accessToken == before.accessToken);
            CHECK(after.refreshToken == before.refreshToken);
        }
        CHECK(user->uid() == uid);
        CHECK(subjectOf(user->tokenService()->accessToken()) == uid);
        CHECK(f.auth->currentUser() == b);
    }
}

TEST_CASE("a password change after a refused re-authentication changes this user's account, not another's") {
    AuthFixture f;
    f.service.createAccount("a@example.com", "secret-a");
    f.service.createAccount("b@example.com", "secret-b");
    auto a = f.run(f.auth->signIn(std::string("a@example.com"), std::string("secret-a")))->user();
    auto b = f.run(f.auth->signIn(std::string("b@example.com"), std::string("secret-b")))->user();
    auto outcome = reauthenticate(a, EmailAuthProvider::credential("b@example.com", "secret-b"));
    REQUIRE(outcome.error);
    CHECK(outcome.error->code() == rawValue(AuthErrorCode::userMismatch));
    f.run(a->updatePassword("secret-a2"));
    CHECK(f.service.account(a->uid())->password == std::optional<std::string>("secret-a2"));
    CHECK(f.service.account(b->uid())->password == std::optional<std::string>("secret-b"));
}

TEST_CASE("a user's changes reach the service in the order they were made, and the last one wins") {
    // Each row makes two changes one after the other, the first one slowed at the service; the second
    // must wait for the first to end instead of overtaking it.
    struct Row {
        const char* name;
        const char* slowEndpoint;
        const char* slowBodyText;  // picks the first change's request
        std::function<void(AuthFixture&, const std::shared_ptr<User>&, User::Callback)> first;
        std::function<void(AuthFixture&, const std::shared_ptr<User>&, User::Callback)> second;
        std::function<void(AuthFixture&, const std::shared_ptr<User>&)> check;
    };
    auto rename = [](std::string name) {
        return [name](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
            auto change = user->createProfileChangeRequest();
            change->setDisplayName(name);
            change->commitChanges(std::move(done));
        };
    };
    auto storedUser = [](AuthFixture& f) { return f.relaunch()->currentUser(); };
    const Row rows[] = {
        {"two profile changes", "setAccountInfo", "\"First\"", rename("First"), rename("Second"),
         [&](AuthFixture& f, const std::shared_ptr<User>& user) {
             CHECK(f.service.account(user->uid())->displayName == std::optional<std::string>("Second"));
             CHECK(user->displayName() == std::optional<std::string>("Second"));
             CHECK(storedUser(f)->displayName() == std::optional<std::string>("Second"));
         }},
        {"two e-mail changes", "setAccountInfo", "first@example.com",
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->updateEmail("first@example.com", std::move(done));
         },
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->updateEmail("second@example.com", std::move(done));
         },
         [&](AuthFixture& f, const std::shared_ptr<User>& user) {
             CHECK(f.service.account(user->uid())->email == std::optional<std::string>("second@example.com"));
             CHECK(user->email() == std::optional<std::string>("second@example.com"));
             CHECK(storedUser(f)->email() == std::optional<std::string>("second@example.com"));
         }},
        {"two password changes", "setAccountInfo", "secret-first",
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->updatePassword("secret-first", std::move(done));
         },
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->updatePassword("secret-second", std::move(done));
         },
         [](AuthFixture& f, const std::shared_ptr<User>& user) {
             CHECK(f.service.account(user->uid())->password == std::optional<std::string>("secret-second"));
         }},
        {"a link, then an unlink of the same provider", "verifyAssertion", "github.com",
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->link(GitHubAuthProvider::credential("gh-token-1"),
                        [done](std::shared_ptr<AuthDataResult>, platform::OptionalError e) { done(std::move(e)); });
         },
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) {
             user->unlink("github.com",
                          [done](std::shared_ptr<User>, platform::OptionalError e) { done(std::move(e)); });
         },
         [](AuthFixture& f, const std::shared_ptr<User>& user) {
             CHECK_FALSE(user->providerDataContains("github.com"));
             const auto account = f.service.account(user->uid());
             for (const auto& p : account->providers) CHECK(p.providerID != "github.com");
         }},
        {"a profile change, then a reload", "setAccountInfo", "\"Changed\"", rename("Changed"),
         [](AuthFixture&, const std::shared_ptr<User>& user, User::Callback done) { user->reload(std::move(done)); },
         [](AuthFixture&, const std::shared_ptr<User>& user) {
             CHECK(user->displayName() == std::optional<std::string>("Changed"));
         }},
    };
    for (const auto& row : rows) {
        CAPTURE(row.name);
        AuthFixture f;
        auto user = f.signInWithEzevar()->user();
        f.service.clearRequests();
        f.service.injectFault(row.slowEndpoint,
                              Fault::ofDelay(std::chrono::milliseconds(300)).matching(row.slowBodyText).once());
        std::vector<std::optional<platform::Error>> errors;
        auto record = [&](platform::OptionalError e) { errors.push_back(std::move(e)); };
        row.first(f, user, record);
        row.second(f, user, record);
        REQUIRE(waitOnMain([&] { return errors.size() == 2; }));
        CHECK_FALSE(errors[0]);
        CHECK_FALSE(errors[1]);
        f.settle();
        // While the slowed request was being answered nothing else reached the service.
        const auto requests = f.service.requests();
        auto slowed = std::find_if(requests.begin(), requests.end(), [&](const auto& r) {
            return r.endpoint == row.slowEndpoint && r.body.find(row.slowBodyText) != std::string::npos;
        });
        REQUIRE(slowed != requests.end());
        for (const auto& r : requests) {
            CAPTURE(r.endpoint);
            CHECK_FALSE((r.arrived > slowed->arrived && r.arrived < slowed->answered));
        }
        row.check(f, user);
    }
}

TEST_CASE("clearing the display name and the photo deletes them at the service, so a reload keeps them cleared") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    auto set = user->createProfileChangeRequest();
    set->setDisplayName(std::string("Name"));
    set->setPhotoURL(platform::URL::parse("https://example.com/me.png"));
    f.run(set->commitChanges());
    REQUIRE(f.service.account(user->uid())->displayName == std::optional<std::string>("Name"));

    f.service.clearRequests();
    auto clear = user->createProfileChangeRequest();
    clear->setDisplayName(std::nullopt);
    clear->setPhotoURL(std::nullopt);
    f.run(clear->commitChanges());
    const auto sent = f.service.requestsTo("setAccountInfo");
    REQUIRE(sent.size() == 1);
    CHECK(sent[0].json().value("deleteAttribute", nlohmann::json()) == nlohmann::json{"PHOTO_URL", "DISPLAY_NAME"});
    CHECK_FALSE(sent[0].json().contains("displayName"));
    CHECK_FALSE(sent[0].json().contains("photoUrl"));
    CHECK_FALSE(f.service.account(user->uid())->displayName);
    CHECK_FALSE(f.service.account(user->uid())->photoURL);
    CHECK_FALSE(user->displayName());
    CHECK_FALSE(user->photoURL());

    f.run(user->reload());
    CHECK_FALSE(user->displayName());
    CHECK_FALSE(user->photoURL());
    auto stored = f.relaunch()->currentUser();
    CHECK_FALSE(stored->displayName());
    CHECK_FALSE(stored->photoURL());
}

TEST_CASE("a user's e-mail and its verification follow the reply of the change") {
    SUBCASE("a new address is not verified") {
        AuthFixture f;
        const auto uid = f.service.createAccount("old@example.com", "secret1");
        f.service.updateAccount(uid, [](auto& account) { account.emailVerified = true; });
        auto user = f.run(f.auth->signIn(std::string("old@example.com"), std::string("secret1")))->user();
        REQUIRE(user->isEmailVerified());
        f.run(user->updateEmail("new@example.com"));
        CHECK(user->email() == std::optional<std::string>("new@example.com"));
        CHECK_FALSE(user->isEmailVerified());
        CHECK_FALSE(f.relaunch()->currentUser()->isEmailVerified());
    }
    SUBCASE("unlinking the password takes the address with it") {
        AuthFixture f;
        f.service.createAccount("pw@example.com", "secret1");
        auto user = f.run(f.auth->signIn(std::string("pw@example.com"), std::string("secret1")))->user();
        REQUIRE(user->providerDataContains("password"));
        f.run(user->unlink("password"));
        CHECK_FALSE(f.service.account(user->uid())->email);
        CHECK_FALSE(user->email());
        CHECK_FALSE(user->hasEmailPasswordCredential());
        CHECK_FALSE(f.relaunch()->currentUser()->email());
    }
}

TEST_CASE("an account deleted at the service ends its session: the refresh is refused and the user signed out") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    int signedOut = 0;
    f.auth->addStateDidChangeListener([&](auto, auto current) {
        if (!current) ++signedOut;
    });
    f.settle();
    f.service.deleteAccount(user->uid());
    f.advance(std::chrono::seconds(3500));  // the token needs its refresh
    CHECK(errorCode([&] { f.run(user->getIDToken(false)); }) == rawValue(AuthErrorCode::invalidUserToken));
    CHECK(f.auth->currentUser() == nullptr);
    CHECK(f.keychain->allItems().empty());
    REQUIRE(waitOnMain([&] { return signedOut == 1; }));
}
