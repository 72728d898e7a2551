// The identity client against the local identity service: sign-in, persistence and announcements, the
// start-up restore, tokens and their 300 s rule, automatic sign-out, and the keychain's failures.
#include <doctest/doctest.h>

#include <atomic>
#include <mutex>

#include "auth/Auth.hpp"
#include "auth/AuthStateChanges.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/EmailAuthCredential.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "auth/providers/OAuthCredential.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "tests/auth/AuthTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;

namespace {
// Records what each kind of listener saw, on the main queue.
struct ListenerLog {
    std::vector<std::string> state;
    std::vector<std::string> idToken;
    static std::string name(const std::shared_ptr<User>& u) { return u ? u->uid() : std::string("none"); }
    void attach(const std::shared_ptr<Auth>& auth) {
        auth->addStateDidChangeListener([this](auto, auto user) { state.push_back(name(user)); });
        auth->addIDTokenDidChangeListener([this](auto, auto user) { idToken.push_back(name(user)); });
    }
};

std::size_t storedItems(const AuthFixture& f) {
    std::size_t n = 0;
    for (const auto& item : f.keychain->allItems()) {
        if (item.account == std::string(kKeychainAccountPrefix) + f.appName + std::string(kUserKey)) ++n;
    }
    return n;
}
}  // namespace

TEST_CASE("an Ezevar sign-in exchanges the credential, stores the user, announces it once and then completes") {
    AuthFixture f;
    ListenerLog log;
    log.attach(f.auth);
    REQUIRE(waitOnMain([&] { return log.state.size() == 1 && log.idToken.size() == 1; }));
    CHECK(log.state == std::vector<std::string>{"none"});

    auto result = f.signInWithEzevar("sub-1", "first@example.com");
    REQUIRE(result);
    auto user = result->user();
    CHECK(user->email() == std::optional<std::string>("first@example.com"));
    CHECK(result->additionalUserInfo()->providerID() == "ezevar.com");
    CHECK(f.auth->currentUser() == user);
    CHECK(storedItems(f) == 1);

    // The road: verify-assertion, then account-info; nothing else.
    std::vector<std::string> endpoints;
    for (const auto& r : f.service.requests()) endpoints.push_back(r.endpoint);
    CHECK(endpoints == std::vector<std::string>{"verifyAssertion", "getAccountInfo"});
    CHECK(f.service.requestsTo("verifyAssertion").at(0).json().value("autoCreate", false));

    // The announcement was queued before the completion: both listeners already heard it.
    f.settle();
    CHECK(log.state == std::vector<std::string>{"none", user->uid()});
    CHECK(log.idToken == std::vector<std::string>{"none", user->uid()});
}

TEST_CASE("the user is in the keychain before any listener hears of it") {
    AuthFixture f;
    std::vector<std::size_t> storedWhenHeard;
    f.auth->addIDTokenDidChangeListener([&](auto, auto user) {
        if (user) storedWhenHeard.push_back(storedItems(f));
    });
    f.signInWithEzevar();
    f.settle();
    CHECK(storedWhenHeard == std::vector<std::size_t>{1});
}

TEST_CASE("each app has one identity client, and there is none without a configured default app") {
    AuthFixture f;
    auto first = Auth::authWithApp(f.app);
    REQUIRE(first);
    CHECK(Auth::authWithApp(f.app) == first);
    CHECK(Auth::keychainServiceName(*f.app) == std::string(kKeychainServicePrefix) + kTestEzevarAppID);
    CHECK(f.auth->storedUserKey() == f.appName + "_zudiridi_user");
    CHECK(Auth::auth() == nullptr);
}

TEST_CASE("a stored user is restored at launch without a request and announced exactly once") {
    auto keychain = std::make_shared<platform::InMemoryKeychain>();
    std::string appName;
    std::string uid;
    {
        AuthFixture first(AuthFixture::Settings{.keychain = keychain});
        appName = first.appName;
        uid = first.signInWithEzevar()->user()->uid();
    }
    AuthFixture second(AuthFixture::Settings{.keychain = keychain, .appName = appName});
    second.service.clearRequests();
    int calls = 0;
    std::shared_ptr<User> seen;
    second.auth->addStateDidChangeListener([&](auto, auto user) {
        ++calls;
        seen = user;
    });
    REQUIRE(waitOnMain([&] { return calls == 1; }));
    second.settle();
    CHECK(calls == 1);
    REQUIRE(seen);
    CHECK(seen->uid() == uid);
    CHECK(second.auth->currentUser() == seen);
    CHECK(second.service.requests().empty());
}

TEST_CASE("a launch with nothing stored stays signed out, announces nothing and logs nothing") {
    AuthFixture f;
    CHECK(f.auth->currentUser() == nullptr);
    int internalPosts = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kAuthStateDidChangeInternalNotification), f.auth.get(), nullptr,
        [&](const platform::Notification&) { ++internalPosts; });
    f.settle();
    CHECK(internalPosts == 0);
    platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_CASE("tokens are served from cache while more than 300 s remain and refreshed at 300 s or less") {
    struct Case {
        std::chrono::milliseconds elapsed;
        int refreshes;
    };
    // The service gives a 3600 s lifetime: 3300 s on, exactly 300 s remain.
    const Case cases[] = {
        {std::chrono::milliseconds(3'299'999), 0},  // 300.001 s left: cache
        {std::chrono::milliseconds(3'300'000), 1},  // 300.000 s left: refresh
        {std::chrono::milliseconds(3'700'000), 1},  // expired: refresh
    };
    for (const auto& c : cases) {
        CAPTURE(c.elapsed.count());
        AuthFixture f;
        auto user = f.signInWithEzevar()->user();
        const auto before = user->tokenService()->accessToken();
        f.service.clearRequests();
        f.clock->advance(c.elapsed);
        const auto token = f.run(user->getIDToken(false));
        CHECK(f.service.requestsTo("token").size() == static_cast<std::size_t>(c.refreshes));
        CHECK((token == before) == (c.refreshes == 0));
    }
}

TEST_CASE("a forced fetch refreshes a fresh token, and the new token is saved and announced") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    ListenerLog log;
    log.attach(f.auth);
    REQUIRE(waitOnMain([&] { return log.idToken.size() == 1; }));
    const auto before = user->tokenService()->accessToken();
    f.advance(std::chrono::seconds(10));
    const auto token = f.run(user->getIDToken(true));
    CHECK(token != before);
    CHECK(f.service.requestsTo("token").size() == 1);
    f.settle();
    CHECK(log.idToken.size() == 2);
    CHECK(log.state.size() == 1);  // a token refresh is no change of account
    // The stored copy holds the new token.
    auto relaunched = f.relaunch();
    REQUIRE(relaunched->currentUser());
    CHECK(relaunched->currentUser()->tokenService()->accessToken() == token);
}

TEST_CASE("ten overlapping token requests share one refresh and get the same token") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    f.advance(std::chrono::seconds(3500));
    f.service.clearRequests();
    f.service.injectFault("token", testing::IdentityService::Fault::ofDelay(std::chrono::milliseconds(300)));
    std::vector<std::optional<std::string>> tokens(10);
    int done = 0;
    for (int i = 0; i < 10; ++i) {
        user->getIDTokenForcingRefresh(false, [&, i](std::optional<std::string> token, platform::OptionalError) {
            tokens[i] = token;
            ++done;
        });
    }
    REQUIRE(waitOnMain([&] { return done == 10; }));
    CHECK(f.service.requestsTo("token").size() == 1);
    for (const auto& t : tokens) CHECK(t == tokens[0]);
    CHECK(tokens[0].has_value());
}

TEST_CASE("a token the service declares dead signs that account out; other failures and other accounts do not") {
    SUBCASE("a disabled account is signed out and listeners hear it") {
        AuthFixture f;
        auto user = f.signInWithEzevar()->user();
        ListenerLog log;
        log.attach(f.auth);
        REQUIRE(waitOnMain([&] { return log.state.size() == 1; }));
        f.service.updateAccount(user->uid(), [](auto& account) { account.disabled = true; });
        CHECK(errorCode([&] { f.run(user->getIDToken(true)); }) == rawValue(AuthErrorCode::userDisabled));
        CHECK(f.auth->currentUser() == nullptr);
        CHECK(storedItems(f) == 0);
        f.settle();
        CHECK(log.state.back() == "none");
    }
    SUBCASE("a transport failure keeps the user") {
        AuthFixture f;
        auto user = f.signInWithEzevar()->user();
        f.service.injectFault("token", testing::IdentityService::Fault::ofStatus(503));
        CHECK(errorCode([&] { f.run(user->getIDToken(true)); }) == rawValue(AuthErrorCode::networkRequestFailed));
        CHECK(f.auth->currentUser() == user);
    }
    SUBCASE("a dead token of an account that is not the current one signs nobody out") {
        AuthFixture f;
        auto first = f.signInWithEzevar("sub-a", "a@example.com")->user();
        auto second = f.signInWithEzevar("sub-b", "b@example.com")->user();
        REQUIRE(f.auth->currentUser() == second);
        f.service.revokeTokens(first->uid());
        CHECK(errorCode([&] { f.run(first->getIDToken(true)); }) == rawValue(AuthErrorCode::userTokenExpired));
        CHECK(f.auth->currentUser() == second);
    }
}

TEST_CASE("an ID token whose claims nest 100,000 levels deep is reported as malformed, not a stack overflow") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    const std::string claims = R"({"exp":4102444800,"auth_time":1700000000,"iat":1700000000,)"
                               R"("zudiridi":{"sign_in_provider":"password"},"deep":)" +
                               deep + "}";
    const std::string token = platform::crypto::base64URLEncode(std::string(R"({"alg":"none"})")) + "." +
                              platform::crypto::base64URLEncode(claims) + ".";
    f.service.injectFault("token", testing::IdentityService::Fault::ofBody(200, R"({"access_token":")" + token +
                                                                                    R"(","expires_in":"3600"})"));
    std::optional<platform::Error> error;
    bool done = false;
    user->getIDTokenResult(true, [&](std::optional<AuthTokenResult> result, platform::OptionalError e) {
        CHECK_FALSE(result);
        error = std::move(e);
        done = true;
    });
    REQUIRE(waitOnMain([&] { return done; }));
    REQUIRE(error);
    CHECK(error->code() == rawValue(AuthErrorCode::malformedJWT));
    CHECK(f.auth->currentUser() == user);
}

TEST_CASE("a keychain that refuses the write fails the sign-in with 17995 and announces nothing") {
    AuthFixture f;
    int announcements = 0;
    f.auth->addIDTokenDidChangeListener([&](auto, auto) { ++announcements; });
    REQUIRE(waitOnMain([&] { return announcements == 1; }));
    f.keychain->failNext(platform::InMemoryKeychain::Operation::add, platform::errSecIO);
    try {
        f.signInWithEzevar();
        FAIL("the sign-in must fail");
    } catch (const platform::ErrorException& e) {
        CHECK(e.error().code() == rawValue(AuthErrorCode::keychainError));
        const auto reason = e.error().localizedFailureReason().value_or("");
        CHECK(reason.rfind("SecItemAdd (-36) ", 0) == 0);
    }
    f.settle();
    CHECK(f.auth->currentUser() == nullptr);
    CHECK(announcements == 1);
}

TEST_CASE("a user stored under the older keychain naming is moved to the current item when first read") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    // Put the stored user back under the legacy account (the key alone, no service).
    auto items = f.keychain->allItems();
    REQUIRE(items.size() == 1);
    platform::KeychainItem legacy;
    legacy.account = f.appName + std::string(kUserKey);
    legacy.data = items.front().data;
    f.keychain->removeAll();
    REQUIRE(f.keychain->add(legacy) == platform::errSecSuccess);

    auto relaunched = f.relaunch();
    REQUIRE(relaunched->currentUser());
    CHECK(relaunched->currentUser()->uid() == user->uid());
    auto after = f.keychain->allItems();
    REQUIRE(after.size() == 1);
    CHECK(after.front().service == std::string(kKeychainServicePrefix) + kTestEzevarAppID);
    CHECK(after.front().dataProtectionKeychain);
}

TEST_CASE("signing out deletes the stored user and announces no user; signing out again does nothing") {
    AuthFixture f;
    f.signInWithEzevar();
    ListenerLog log;
    log.attach(f.auth);
    REQUIRE(waitOnMain([&] { return log.state.size() == 1; }));
    f.auth->signOut();
    CHECK(f.auth->currentUser() == nullptr);
    CHECK(storedItems(f) == 0);
    f.settle();
    CHECK(log.state.back() == "none");
    const auto deletes = f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems);
    f.auth->signOut();
    CHECK(f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems) == deletes);
}

TEST_CASE("a sign-out that cannot delete the stored user fails and keeps the user signed in") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    f.keychain->failNext(platform::InMemoryKeychain::Operation::deleteItems, platform::errSecIO);
    CHECK(errorCode([&] { f.auth->signOut(); }) == rawValue(AuthErrorCode::keychainError));
    CHECK(f.auth->currentUser() == user);
}

TEST_CASE("state and ID-token changes as sequences: the current user first, then each announcement of their kind") {
    AuthFixture f;
    auto states = authStateChanges(f.auth).makeAsyncIterator();
    auto tokens = idTokenChanges(f.auth).makeAsyncIterator();
    auto next = [&](const std::unique_ptr<AuthStateChangeIterator>& iterator) {
        auto value = f.run(iterator->next());
        REQUIRE(value);
        return *value;
    };
    CHECK(next(states) == nullptr);
    CHECK(next(tokens) == nullptr);
    auto user = f.signInWithEzevar()->user();
    CHECK(next(states) == user);
    CHECK(next(tokens) == user);
    // A refreshed token is an ID-token change only. Its decoded result is awaited like any task.
    f.advance(std::chrono::seconds(10));
    auto result = f.run(user->getIDTokenResult(true));
    CHECK(result.token == user->tokenService()->accessToken());
    CHECK(next(tokens) == user);
    f.auth->signOut();
    CHECK(next(states) == nullptr);
    CHECK(next(tokens) == nullptr);
}

TEST_CASE("token auto-refresh is scheduled 300 s before expiry and failed refreshes back off up to 960 s") {
    struct Scheduled {
        std::mutex mutex;
        std::vector<std::pair<double, platform::DispatchQueue::Work>> steps;
    };
    auto scheduled = std::make_shared<Scheduled>();
    AuthDispatcher dispatcher{
        [scheduled](std::shared_ptr<platform::DispatchQueue>, double delay, platform::DispatchQueue::Work step) {
            std::lock_guard lock(scheduled->mutex);
            scheduled->steps.emplace_back(delay, std::move(step));
        }};
    AuthFixture f(AuthFixture::Settings{.dispatcher = dispatcher});
    f.signInWithEzevar();
    bool answered = false;
    f.auth->getTokenForcingRefresh(false, [&](auto, auto) { answered = true; });
    REQUIRE(waitOnMain([&] { return answered; }));
    auto count = [&] {
        std::lock_guard lock(scheduled->mutex);
        return scheduled->steps.size();
    };
    REQUIRE(count() == 1);
    CHECK(scheduled->steps[0].first == doctest::Approx(3300));

    // Every refresh fails: each retry waits twice as long as the one before, at most 960 s.
    f.service.injectFault("token", testing::IdentityService::Fault::ofStatus(503));
    const double expected[] = {60, 120, 240, 480, 960, 960};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        platform::DispatchQueue::Work step;
        {
            std::lock_guard lock(scheduled->mutex);
            step = std::move(scheduled->steps.back().second);
        }
        Auth::authGlobalWorkQueue()->async(std::move(step));
        REQUIRE(waitOnMain([&] { return count() == i + 2; }));
        CHECK(scheduled->steps.back().first == doctest::Approx(expected[i]));
    }
}

TEST_CASE("a user of another tenant is refused with 17072 and the current user stays") {
    AuthFixture f;
    auto other = f.signInWithEzevar("sub-t", "t@example.com")->user();
    auto user = f.signInWithEzevar()->user();
    other->setTenantID(std::string("t1"));
    CHECK(errorCode([&] { f.auth->updateCurrentUser(other, false, true); }) ==
          rawValue(AuthErrorCode::tenantIDMismatch));
    CHECK(f.auth->currentUser() == user);
}

TEST_CASE("moving the stored user into an access group deletes the app-local item; switching back deletes nothing") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    REQUIRE(storedItems(f) == 1);
    f.auth->useUserAccessGroup(std::string("group.example"));
    CHECK(storedItems(f) == 0);
    CHECK(f.auth->currentUser() == nullptr);  // nothing stored in the group yet
    CHECK(f.auth->userAccessGroup() == std::optional<std::string>("group.example"));
    const auto deletes = f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems);
    f.auth->useUserAccessGroup(std::nullopt);
    CHECK(f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems) == deletes);
}

TEST_CASE("an Ezevar account already linked elsewhere fails with 17025 carrying the provider's credential") {
    AuthFixture f;
    f.service.injectFault(
        "verifyAssertion",
        brisko::testing::IdentityService::Fault::ofBody(
            200, R"({"errorMessage":"FEDERATED_USER_ID_ALREADY_LINKED","email":"ez@b.c","providerId":"ezevar.com",)"
                 R"("oauthIdToken":"linked-id-token","oauthAccessToken":"linked-access-token"})"));
    std::optional<platform::Error> error;
    try {
        f.signInWithEzevar("sub-1", "ez@b.c");
    } catch (const platform::ErrorException& e) {
        error = e.error();
    }
    REQUIRE(error);
    CHECK(error->code() == 17025);
    auto updated = error->userInfoValue(AuthErrors::userInfoUpdatedCredentialKey);
    REQUIRE(updated);
    auto credential = updated->object<OAuthCredential>();
    REQUIRE(credential);
    CHECK(credential->provider() == "ezevar.com");
    CHECK(credential->idToken() == std::optional<std::string>("linked-id-token"));
    CHECK(credential->accessToken() == std::optional<std::string>("linked-access-token"));
    CHECK(f.auth->currentUser() == nullptr);
}
