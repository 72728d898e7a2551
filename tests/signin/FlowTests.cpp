// The sign-in flows against the Ezevar stand-in (a real OpenID provider behind our shim, over HTTPS),
// with a scripted browser that signs in on its pages and delivers the redirect to the app.
#include <sstream>
#include <thread>

#include <doctest/doctest.h>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/net/URLSession.hpp"
#include "signin/SignIn.hpp"
#include "signin/SignInPreferences.hpp"
#include "tests/platform/storage/keyring/KeyringTools.hpp"
#include "tests/signin/SigninTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/ezevar/EzevarStandIn.hpp"

using namespace brisko;
using namespace brisko::signin;
using testing::EzevarStandIn;
using testing::ScriptedBrowser;

namespace {

constexpr PresentingWindow kWindow = 0x2a;

EzevarStandIn& standIn() {
    static EzevarStandIn instance;
    return instance;
}

struct Outcome {
    bool done = false;
    std::shared_ptr<SignInResult> result;
    platform::OptionalError error;
    SignInCompletion completion() {
        return [this](std::shared_ptr<SignInResult> r, platform::OptionalError e) {
            done = true;
            result = std::move(r);
            error = std::move(e);
        };
    }
};

struct Flow {
    testing::SignInEnvironment env;
    std::shared_ptr<KeychainStore> store = std::make_shared<KeychainStore>("auth");
    std::shared_ptr<SignIn> signIn;
    std::vector<std::string> opened;

    explicit Flow(testing::TestKeychain keychain = testing::TestKeychain::inMemory)
        : env(std::string(EzevarStandIn::kClientID), std::nullopt, keychain) {
        SignInPreferences::setServerOverride(standIn().host());
        standIn().configure(
            R"({"offlineAccess": true, "accessTokenTTL": 3600, "userInfoNesting": 0, "userInfoStatus": 0})");
        oauth::URLSessionProvider::setSession(
            platform::URLSession::sessionWithConfiguration(EzevarStandIn::trustingConfiguration()));
        signIn = makeSignIn();
    }
    ~Flow() { SignInPreferences::setServerOverride(std::nullopt); }

    std::shared_ptr<SignIn> makeSignIn() {
        auto made = SignIn::make(store, std::make_shared<AuthStateMigration>(store));
        made->setFetcherConfiguration(EzevarStandIn::trustingConfiguration());
        made->setExternalUserAgentFactory([this](PresentingWindow window) -> std::shared_ptr<oauth::ExternalUserAgent> {
            auto agent = std::make_shared<oauth::ExternalUserAgentMac>(window);
            agent->setURLOpener([this](std::string_view url) {
                opened.emplace_back(url);
                return true;
            });
            return agent;
        });
        return made;
    }

    // Waits until the page was opened in the "browser" and returns its URL.
    std::string waitForPage(std::size_t count = 1) {
        REQUIRE(platform::MainLoop::runUntil([&] { return opened.size() >= count; }));
        return opened.at(count - 1);
    }

    // The user signs in on the pages; the redirect reaches the app through its URL handler.
    void completeInBrowser(std::size_t page = 1) {
        ScriptedBrowser browser;
        auto redirect = browser.signIn(waitForPage(page));
        REQUIRE_MESSAGE(redirect, browser.lastError());
        CHECK(signIn->handleURL(*redirect));
        // The same redirect again belongs to no flow.
        CHECK_FALSE(signIn->handleURL(*redirect));
    }

    void wait(Outcome& outcome) {
        REQUIRE(platform::MainLoop::runUntil([&] { return outcome.done; }, std::chrono::seconds(30)));
    }

    // A sign-in in the browser, to its completion.
    Outcome signInOutcome() {
        Outcome outcome;
        const auto page = opened.size() + 1;
        signIn->signInWithPresentingWindow(kWindow, outcome.completion());
        completeInBrowser(page);
        wait(outcome);
        return outcome;
    }

    std::shared_ptr<SignInResult> signInInteractively() {
        Outcome outcome = signInOutcome();
        REQUIRE_MESSAGE(!outcome.error, outcome.error->description());
        return outcome.result;
    }

    // restorePreviousSignInWithCompletion, to its completion.
    std::pair<std::shared_ptr<EzevarUser>, platform::OptionalError> restore(SignIn& on) {
        std::pair<std::shared_ptr<EzevarUser>, platform::OptionalError> answer;
        bool done = false;
        on.restorePreviousSignInWithCompletion([&](std::shared_ptr<EzevarUser> u, platform::OptionalError e) {
            answer = {std::move(u), std::move(e)};
            done = true;
        });
        REQUIRE(platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(20)));
        return answer;
    }

    std::size_t tokenRequests() const { return standIn().requestsTo("/token").size(); }
};

}  // namespace

TEST_CASE("an interactive sign-in in the browser gives the user, its tokens, profile and server code, saved") {
    Flow flow;
    auto result = flow.signInInteractively();
    REQUIRE(result);
    auto user = result->user();
    REQUIRE(user);
    CHECK(user == flow.signIn->currentUser());
    REQUIRE(user->idToken());
    REQUIRE(user->accessToken());
    REQUIRE(user->refreshToken());
    CHECK(user->userID() == "dev@example.test");
    REQUIRE(user->profile());
    // The ID token carries no profile, so it came from the user-info endpoint; the e-mail address is
    // the ID token's.
    CHECK(user->profile()->name() == "dev Tester");
    CHECK(user->profile()->email() == "dev@example.test");
    CHECK(result->serverAuthCode().value_or("").rfind("server-code-", 0) == 0);
    CHECK(user->configuration()->clientID() == EzevarStandIn::kClientID);

    auto authorize = standIn().requestsTo("/o/oauth2/v2/auth");
    REQUIRE_FALSE(authorize.empty());
    const auto& target = authorize.back().target;
    for (const char* parameter : {"epsdk=eid-9.1.0", "eidenv=macos", "include_granted_scopes=true", "code_challenge="})
        CHECK_MESSAGE(target.find(parameter) != std::string::npos, parameter << " in " << target);
    auto userinfo = standIn().requestsTo("/oauth2/v3/userinfo");
    REQUIRE(userinfo.size() >= 1);
    CHECK(userinfo.back().target.find("access_token=" + user->accessToken()->tokenString()) != std::string::npos);

    platform::OptionalError error;
    auto saved = flow.store->retrieveAuthSession(error);
    REQUIRE(saved);
    CHECK(saved->authState()->refreshToken() == user->refreshToken()->tokenString());
}

TEST_CASE("a user-info reply nested 100,000 levels deep is refused: the user signs in without a profile") {
    Flow flow;
    standIn().configure(R"({"userInfoNesting": 100000})");
    const auto userInfoBefore = standIn().requestsTo("/oauth2/v3/userinfo").size();
    auto result = flow.signInInteractively();
    REQUIRE(result);
    REQUIRE(result->user());
    CHECK(standIn().requestsTo("/oauth2/v3/userinfo").size() == userInfoBefore + 1);
    CHECK_FALSE(result->user()->profile());
}

TEST_CASE("restore: a fresh saved sign-in needs no token request; without one it is -4") {
    Flow flow;
    {
        Outcome none;
        std::shared_ptr<EzevarUser> restored;
        platform::OptionalError restoreError;
        bool done = false;
        flow.signIn->restorePreviousSignInWithCompletion([&](std::shared_ptr<EzevarUser> u, platform::OptionalError e) {
            restored = u;
            restoreError = e;
            done = true;
        });
        REQUIRE(platform::MainLoop::runUntil([&] { return done; }));
        CHECK_FALSE(restored);
        REQUIRE(restoreError);
        CHECK(restoreError->code() == -4);
        CHECK_FALSE(flow.signIn->hasPreviousSignIn());
    }
    flow.signInInteractively();
    const auto tokensBefore = flow.tokenRequests();

    auto later = flow.makeSignIn();  // the next launch
    CHECK(later->hasPreviousSignIn());
    std::shared_ptr<EzevarUser> restored;
    bool done = false;
    later->restorePreviousSignInWithCompletion([&](std::shared_ptr<EzevarUser> u, platform::OptionalError) {
        restored = u;
        done = true;
    });
    REQUIRE(platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(20)));
    REQUIRE(restored);
    CHECK(restored == later->currentUser());
    CHECK(restored->refreshToken());
    CHECK(flow.tokenRequests() == tokensBefore);

    auto third = flow.makeSignIn();
    CHECK(third->restorePreviousSignInNoRefresh());
    CHECK(third->currentUser());
}

TEST_CASE("ten callers of a refresh share one token request and are answered in order") {
    Flow flow;
    standIn().configure(R"({"accessTokenTTL": 30})");
    auto user = flow.signInInteractively()->user();
    const auto oldAccess = user->accessToken()->tokenString();
    const auto before = flow.tokenRequests();
    std::vector<int> order;
    for (int i = 0; i < 10; ++i)
        user->refreshTokensIfNeededWithCompletion(
            [&order, i, user](std::shared_ptr<EzevarUser> u, platform::OptionalError e) {
                CHECK_FALSE(e);
                CHECK(u == user);
                order.push_back(i);
            });
    REQUIRE(platform::MainLoop::runUntil([&] { return order.size() == 10; }, std::chrono::seconds(20)));
    CHECK(order == std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    CHECK(flow.tokenRequests() == before + 1);
    CHECK(user->accessToken()->tokenString() != oldAccess);
}

TEST_CASE("add scopes: already granted is -8 without a page; new ones update the same user") {
    Flow flow;
    auto user = flow.signInInteractively()->user();
    const auto pagesBefore = flow.opened.size();
    Outcome granted;
    flow.signIn->addScopes({"email"}, kWindow, granted.completion());
    flow.wait(granted);
    REQUIRE(granted.error);
    CHECK(granted.error->code() == -8);
    CHECK(flow.opened.size() == pagesBefore);

    Outcome more;
    flow.signIn->addScopes({"phone"}, kWindow, more.completion());
    flow.completeInBrowser(pagesBefore + 1);
    flow.wait(more);
    REQUIRE_MESSAGE(!more.error, more.error->description());
    CHECK(more.result->user() == user);
    auto scopes = user->grantedScopes().value_or(std::vector<std::string>{});
    CHECK(std::find(scopes.begin(), scopes.end(), "phone") != scopes.end());

    // A user that is not the current one cannot add scopes.
    Outcome stranger;
    EzevarUser::make(testing::makeAuthState(), nullptr)->addScopes({"phone"}, kWindow, stranger.completion());
    flow.wait(stranger);
    CHECK(stranger.error->code() == -9);
}

TEST_CASE("sign-out forgets the user and the saved state; disconnect revokes the token, escaped") {
    Flow flow;
    auto user = flow.signInInteractively()->user();
    flow.signIn->signOut();
    CHECK_FALSE(flow.signIn->currentUser());
    platform::OptionalError error;
    CHECK_FALSE(flow.store->retrieveAuthSession(error));

    // Disconnect without any token: signed out, no request.
    bool done = false;
    platform::OptionalError disconnectError;
    flow.signIn->disconnectWithCompletion([&](platform::OptionalError e) {
        disconnectError = e;
        done = true;
    });
    REQUIRE(platform::MainLoop::runUntil([&] { return done; }));
    CHECK_FALSE(disconnectError);

    user = flow.signInInteractively()->user();
    const auto token = user->accessToken()->tokenString();
    done = false;
    flow.signIn->disconnectWithCompletion([&](platform::OptionalError e) {
        disconnectError = e;
        done = true;
    });
    REQUIRE(platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(20)));
    CHECK_FALSE(disconnectError);
    CHECK_FALSE(flow.signIn->currentUser());
    auto revokes = standIn().requestsTo("/o/oauth2/revoke");
    REQUIRE_FALSE(revokes.empty());
    CHECK(revokes.back().target.find("token=" + token + "&epsdk=eid-9.1.0&eidenv=macos") != std::string::npos);

    // A token with reserved characters goes out escaped; the stand-in does not know it, the revoke
    // fails, and the user stays signed in.
    testing::StateTokens odd;
    odd.accessToken = "a+b/c=d&e";
    flow.signIn->setCurrentUser(EzevarUser::make(testing::makeAuthState(odd), nullptr));
    done = false;
    flow.signIn->disconnectWithCompletion([&](platform::OptionalError e) {
        disconnectError = e;
        done = true;
    });
    REQUIRE(platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(60)));
    REQUIRE(disconnectError);
    CHECK(flow.signIn->currentUser());
    const auto sent = standIn().requestsTo("/o/oauth2/revoke").back().target;
    CHECK_MESSAGE(sent.find("token=a%2Bb/c%3Dd%26e&epsdk=") != std::string::npos, sent);
}

TEST_CASE("cancelling, denying consent and other OAuth errors give -5, -5 and -1") {
    Flow flow;
    SUBCASE("the user cancels while the page is open") {
        Outcome outcome;
        flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
        flow.waitForPage();
        CHECK(flow.signIn->cancelSignIn());
        flow.wait(outcome);
        REQUIRE(outcome.error);
        CHECK(outcome.error->code() == -5);
        CHECK(outcome.error->localizedDescription() == "The user canceled the sign-in flow.");
        CHECK_FALSE(flow.signIn->currentUser());
        CHECK_FALSE(flow.signIn->cancelSignIn());
    }
    SUBCASE("a second sign-in while the first waits ends the first as cancelled") {
        Outcome first;
        flow.signIn->signInWithPresentingWindow(kWindow, first.completion());
        flow.waitForPage();
        Outcome second;
        flow.signIn->signInWithPresentingWindow(kWindow, second.completion());
        flow.wait(first);
        REQUIRE(first.error);
        CHECK(first.error->code() == -5);
        CHECK_FALSE(second.done);
        flow.completeInBrowser(2);
        flow.wait(second);
        CHECK_FALSE(second.error);
        CHECK(second.result);
    }
    SUBCASE("the user denies consent") {
        Outcome outcome;
        flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
        ScriptedBrowser browser;
        auto redirect = browser.denyConsent(flow.waitForPage());
        REQUIRE_MESSAGE(redirect, browser.lastError());
        CHECK(flow.signIn->handleURL(*redirect));
        flow.wait(outcome);
        REQUIRE(outcome.error);
        CHECK(outcome.error->domain() == "com.ezevar.EIDSignIn");
        CHECK(outcome.error->code() == -5);
        CHECK(outcome.error->localizedDescription() == "access_denied");
    }
    SUBCASE("the provider reports another OAuth error") {
        Outcome outcome;
        flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
        auto page = *platform::URL::parse(flow.waitForPage());
        auto state = page.queryValue("state");
        REQUIRE(state);
        CHECK(flow.signIn->handleURL(
            "com.ezevarusercontent.apps.000000000000-placeholder:/oauth2callback?error=unauthorized_client&state=" +
            *state));
        flow.wait(outcome);
        REQUIRE(outcome.error);
        CHECK(outcome.error->code() == -1);
    }
}

TEST_CASE("a token reply without a refresh token signs the user in; renewing that session later fails clearly") {
    Flow flow;
    standIn().configure(R"({"offlineAccess": false, "accessTokenTTL": 30})");
    Outcome outcome = flow.signInOutcome();
    REQUIRE_MESSAGE(!outcome.error, outcome.error->description());
    auto user = outcome.result->user();
    REQUIRE(user);
    CHECK(user == flow.signIn->currentUser());
    CHECK(user->accessToken());
    CHECK(user->idToken());
    CHECK_FALSE(user->refreshToken());
    platform::OptionalError error;
    auto saved = flow.store->retrieveAuthSession(error);
    REQUIRE(saved);
    CHECK_FALSE(saved->authState()->refreshToken());

    // Its access token has 30 s left: every waiting refresh learns that it cannot be renewed, with no
    // request that could not succeed.
    const auto tokensBefore = flow.tokenRequests();
    int answered = 0;
    for (int i = 0; i < 3; ++i)
        user->refreshTokensIfNeededWithCompletion([&](std::shared_ptr<EzevarUser> u, platform::OptionalError e) {
            CHECK_FALSE(u);
            REQUIRE(e);
            CHECK(e->domain() == "org.oauthclient.general");
            CHECK(e->code() == -11);
            CHECK(e->localizedDescription() == "Unable to refresh expired token without a refresh token.");
            ++answered;
        });
    REQUIRE(platform::MainLoop::runUntil([&] { return answered == 3; }));
    CHECK(flow.tokenRequests() == tokensBefore);

    // The next launch's silent restore needs a fresh token too and fails the same way: the user signs in
    // again, and the sign-in stays saved until then.
    auto later = flow.makeSignIn();
    auto [restored, restoreError] = flow.restore(*later);
    CHECK_FALSE(restored);
    REQUIRE(restoreError);
    CHECK(restoreError->code() == -11);
    CHECK(restoreError->domain() == "org.oauthclient.general");
    CHECK(flow.tokenRequests() == tokensBefore);
    CHECK(flow.store->retrieveAuthSession(error));
}

TEST_CASE("programming errors: no configuration, no window, an undeclared callback scheme") {
    {
        testing::SignInEnvironment env(std::nullopt);
        auto store = std::make_shared<KeychainStore>("auth");
        auto signIn = SignIn::make(store, nullptr);
        CHECK_FALSE(signIn->configuration());
        try {
            signIn->signInWithPresentingWindow(kWindow, [](auto, auto) {});
            FAIL("no exception");
        } catch (const platform::ProgrammingException& e) {
            CHECK(e.name() == "NSInvalidArgumentException");
            CHECK(e.reason() == "No active configuration. Make sure EIDClientID is set in Info.plist.");
        }
    }
    {
        testing::SignInEnvironment env("123.apps.ezevarusercontent.com", "not.the.scheme");
        auto signIn = SignIn::make(std::make_shared<KeychainStore>("auth"), nullptr);
        CHECK_THROWS_WITH(signIn->signInWithPresentingWindow(0, [](auto, auto) {}),
                          "|presentingViewController| must be set.");
        CHECK_THROWS_WITH(signIn->signInWithPresentingWindow(kWindow, [](auto, auto) {}),
                          "Your app is missing support for the following URL schemes: com.ezevarusercontent.apps.123");
    }
}

TEST_CASE("an ID token with the whole profile needs no user-info request; missing claims need one") {
    auto full = oauth::IDToken::initWithIDTokenString(
        testing::makeIDToken({{"picture", "https://lh3.ezevarusercontent.com/a/x"},
                              {"name", "N"},
                              {"given_name", "G"},
                              {"family_name", "F"},
                              {"email", "e@example.test"}},
                             std::chrono::hours(1)));
    REQUIRE(full);
    auto profile = SignIn::profileDataWithIDToken(*full);
    REQUIRE(profile);
    CHECK(profile->email() == "e@example.test");
    CHECK(profile->hasImage());
    auto partial = oauth::IDToken::initWithIDTokenString(
        testing::makeIDToken({{"name", "N"}, {"given_name", "G"}, {"family_name", "F"}}, std::chrono::hours(1)));
    CHECK_FALSE(SignIn::profileDataWithIDToken(*partial));
}

TEST_CASE("a device-policy restart cancels the page silently and opens it again with emmres") {
    Flow flow;
    Outcome outcome;
    flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
    flow.waitForPage();
    CHECK_FALSE(
        flow.signIn->handleURL("com.ezevarusercontent.apps.000000000000-placeholder:/emmcallback?action=other"));
    CHECK(
        flow.signIn->handleURL("com.ezevarusercontent.apps.000000000000-placeholder:/emmcallback?action=restart_auth"));
    auto second = flow.waitForPage(2);
    CHECK_FALSE(outcome.done);
    CHECK(second.find("emmres=1") != std::string::npos);
    flow.completeInBrowser(2);
    flow.wait(outcome);
    CHECK_FALSE(outcome.error);
}

TEST_CASE("when the configuration names the loopback listener, the redirect comes back over it") {
    Flow flow;
    flow.signIn->setUsesLoopbackRedirect(true);
    Outcome outcome;
    flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
    const auto page = flow.waitForPage();
    auto redirectURI = platform::URL::parse(page)->queryValue("redirect_uri");
    REQUIRE(redirectURI);
    CHECK(redirectURI->rfind("http://127.0.0.1:", 0) == 0);
    CHECK(redirectURI->find("/oauth2callback") != std::string::npos);
    // The browser's last page is served by the app's own listener, on the main queue: run it there.
    std::optional<std::string> landed;
    std::thread browserThread([&] { landed = ScriptedBrowser().signIn(page); });
    REQUIRE(platform::MainLoop::runUntil([&] { return outcome.done; }, std::chrono::seconds(30)));
    browserThread.join();
    REQUIRE_MESSAGE(!outcome.error, outcome.error->description());
    CHECK(outcome.result->user());
    CHECK(landed);
}

TEST_CASE("an ID token naming another issuer than the Ezevar server is refused and nothing is saved") {
    Flow flow;
    // The same stand-in under another name: its tokens name https://127.0.0.1:<port> as their issuer.
    auto host = standIn().host();
    SignInPreferences::setServerOverride("localhost" + host.substr(host.find(':')));
    flow.signIn = flow.makeSignIn();
    Outcome outcome;
    flow.signIn->signInWithPresentingWindow(kWindow, outcome.completion());
    flow.completeInBrowser();
    flow.wait(outcome);
    REQUIRE(outcome.error);
    CHECK(outcome.error->description().find("Issuer mismatch") != std::string::npos);
    CHECK_FALSE(flow.signIn->currentUser());
    platform::OptionalError error;
    CHECK_FALSE(flow.store->retrieveAuthSession(error));
}

namespace {
// A query value of a request the stand-in recorded (decoded), or nothing.
std::optional<std::string> sentParameter(const EzevarStandIn::Request& request, std::string_view name) {
    return platform::URL::parse("https://standin" + request.target)->queryValue(name);
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}
}  // namespace

TEST_CASE("each sign-in variant sends its hint, nonce, claims, hosted domain, audience and scopes") {
    Flow flow;
    const std::string serverClientID = "111111111111-server.apps.ezevarusercontent.com";
    flow.signIn->setConfiguration(std::make_shared<Configuration>(std::string(EzevarStandIn::kClientID), serverClientID,
                                                                  "example.test", "https://realm.example.test"));
    auto lastAuthorize = [] { return standIn().requestsTo("/o/oauth2/v2/auth").back(); };

    SUBCASE("the plain variant: the configuration's audience and hosted domain, a nonce of its own") {
        flow.signInInteractively();
        const auto sent = lastAuthorize();
        CHECK(sentParameter(sent, "audience") == serverClientID);
        CHECK(sentParameter(sent, "hd") == "example.test");
        CHECK(sentParameter(sent, "include_granted_scopes") == "true");
        CHECK_FALSE(sentParameter(sent, "login_hint"));
        CHECK_FALSE(sentParameter(sent, "claims"));
        CHECK(sentParameter(sent, "nonce").value_or("").size() >= 16);
        auto scopes = words(sentParameter(sent, "scope").value_or(""));
        CHECK(std::find(scopes.begin(), scopes.end(), "email") != scopes.end());
        CHECK(std::find(scopes.begin(), scopes.end(), "profile") != scopes.end());
    }

    SUBCASE("hint, extra scopes, nonce and claims go out, and the ID token answers them") {
        Outcome outcome;
        const auto page = flow.opened.size() + 1;
        flow.signIn->signInWithPresentingWindow(kWindow, "dev@example.test", {"phone"}, "nonce-of-the-caller-42",
                                                ClaimSet{Claim::essentialAuthTimeClaim()}, outcome.completion());
        flow.completeInBrowser(page);
        flow.wait(outcome);
        REQUIRE_MESSAGE(!outcome.error, outcome.error->description());
        const auto sent = lastAuthorize();
        CHECK(sentParameter(sent, "login_hint") == "dev@example.test");
        CHECK(sentParameter(sent, "nonce") == "nonce-of-the-caller-42");
        CHECK(sentParameter(sent, "claims") == R"({"id_token":{"auth_time":{"essential":true}}})");
        CHECK(sentParameter(sent, "audience") == serverClientID);
        CHECK(sentParameter(sent, "hd") == "example.test");
        auto scopes = words(sentParameter(sent, "scope").value_or(""));
        CHECK(std::find(scopes.begin(), scopes.end(), "phone") != scopes.end());

        auto user = outcome.result->user();
        REQUIRE(user->idToken());
        auto idToken = oauth::IDToken::initWithIDTokenString(user->idToken()->tokenString());
        REQUIRE(idToken);
        CHECK(idToken->nonce() == "nonce-of-the-caller-42");
        CHECK(idToken->claims().contains("auth_time"));
        CHECK(user->hostedDomain() == "example.test");
        CHECK(user->configuration()->hostedDomain() == "example.test");
        CHECK(user->configuration()->serverClientID() == serverClientID);
        CHECK(user->configuration()->openIDRealm() == "https://realm.example.test");
        auto granted = user->grantedScopes().value_or(std::vector<std::string>{});
        CHECK(std::find(granted.begin(), granted.end(), "phone") != granted.end());
    }

    SUBCASE("extra parameters go out but cannot replace the version and environment tags") {
        Outcome outcome;
        auto options = SignInInternalOptions::defaultOptions(flow.signIn->configuration(), kWindow, std::nullopt, false,
                                                             outcome.completion())
                           ->optionsWithExtraParameters(
                               {{"epsdk", "eid-0.0.1"}, {"eidenv", "ios"}, {"prompt", "select_account"}}, false);
        const auto page = flow.opened.size() + 1;
        flow.signIn->signInWithOptions(options);
        flow.completeInBrowser(page);
        flow.wait(outcome);
        REQUIRE_MESSAGE(!outcome.error, outcome.error->description());
        const auto sent = lastAuthorize();
        CHECK(sentParameter(sent, "epsdk") == "eid-9.1.0");
        CHECK(sentParameter(sent, "eidenv") == "macos");
        CHECK(sentParameter(sent, "prompt") == "select_account");
        CHECK(sent.target.find("eid-0.0.1") == std::string::npos);
    }
}

TEST_CASE("a user-info fetch that fails ends the sign-in with its error and saves nothing") {
    Flow flow;
    standIn().configure(R"({"userInfoStatus": 403})");
    Outcome outcome = flow.signInOutcome();
    REQUIRE(outcome.error);
    CHECK_FALSE(outcome.result);
    // The fetcher's own error, unchanged: the status is its code.
    CHECK(outcome.error->code() == 403);
    CHECK(outcome.error->domain() != "com.ezevar.EIDSignIn");
    CHECK_FALSE(flow.signIn->currentUser());
    platform::OptionalError error;
    CHECK_FALSE(flow.store->retrieveAuthSession(error));
    CHECK(error->code() == 1);
}

TEST_CASE("a resource's 401 makes the session refresh its token, and the fetch is retried with the new one") {
    Flow flow;
    auto user = flow.signInInteractively()->user();
    const auto firstToken = user->accessToken()->tokenString();

    // The resource takes only a token it has not seen refused: the first one is "revoked" there.
    testing::HttpTestServer resource(testing::HttpTestServer::Mode::https);
    resource.on("GET", "/api/data", [firstToken](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") == "Bearer " + firstToken) {
            response.status = 401;
            return;
        }
        response.status = 200;
        response.set_content(R"({"ok":true})", "application/json");
    });
    auto service = fetcher::SessionFetcherService::make();
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.tlsTrustedCAFile = testing::HttpTestServer::caCertificatePath();
    service->setConfiguration(configuration);
    service->setAuthorizer(user->fetcherAuthorizer());

    const auto tokensBefore = flow.tokenRequests();
    auto fetcher = service->fetcherWithRequest(platform::URLRequest(resource.url("/api/data")));
    bool done = false;
    std::optional<platform::Data> body;
    platform::OptionalError fetchError;
    fetcher->beginFetchWithCompletionHandler([&](std::optional<platform::Data> data, platform::OptionalError error) {
        body = std::move(data);
        fetchError = std::move(error);
        done = true;
    });
    REQUIRE(platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(30)));
    REQUIRE_MESSAGE(!fetchError, fetchError->description());
    CHECK(platform::toString(body.value_or(platform::Data{})) == R"({"ok":true})");

    const auto seen = resource.requestsTo("/api/data");
    REQUIRE(seen.size() == 2);
    CHECK(seen[0].header("Authorization") == "Bearer " + firstToken);
    const auto secondToken = seen[1].header("Authorization").value_or("").substr(7);
    CHECK_FALSE(secondToken.empty());
    CHECK(secondToken != firstToken);
    CHECK(flow.tokenRequests() == tokensBefore + 1);
    // The user holds the new token, and so does the state it will save.
    CHECK(user->accessToken()->tokenString() == secondToken);
}

TEST_CASE("a sign-in replaces a keyring item another tool left under its name; sign-out deletes it" *
          doctest::test_suite("keyring")) {
    Flow flow(testing::TestKeychain::system);
    testing::requireSecretService();
    platform::testing::secretToolStore(
        "auth", "xdg:schema com.brisko.desktop.GenericPassword service auth account OAuth keychain data-protection",
        "written by another tool");
    // The damaged item is found and read as such: nothing to restore.
    {
        auto launch = flow.makeSignIn();
        CHECK_FALSE(launch->hasPreviousSignIn());
        auto [restored, error] = flow.restore(*launch);
        CHECK_FALSE(restored);
        REQUIRE(error);
        CHECK(error->code() == -4);
    }
    auto user = flow.signInInteractively()->user();
    REQUIRE(user);
    const std::string listed = platform::testing::secretToolSearch("auth");
    CHECK(listed.find("[/") == listed.rfind("[/"));
    CHECK_MESSAGE(listed.find("label = Brisko Desktop sign-in (auth)") != std::string::npos, listed);

    auto next = flow.makeSignIn();
    auto [restored, error] = flow.restore(*next);
    REQUIRE_MESSAGE(restored, (error ? error->description() : std::string()));
    CHECK(restored->userID() == user->userID());

    next->signOut();
    CHECK(platform::testing::secretToolLookup("auth", "OAuth").empty());
}

TEST_CASE("with the keyring locked a sign-in fails with -2 and the saved one is neither read nor lost" *
          doctest::test_suite("locked")) {
    Flow flow(testing::TestKeychain::system);
    testing::requireSecretService();
    auto user = flow.signInInteractively()->user();
    REQUIRE(platform::testing::lockDefaultCollection());

    platform::OptionalError error;
    CHECK_FALSE(flow.store->retrieveAuthSession(error));
    REQUIRE(error);
    CHECK(error->domain() == "ETMOAuthClientKeychainErrorDomain");
    CHECK(error->code() == 0);
    CHECK(*error->userInfoValue("status") == platform::Value(platform::errSecInteractionNotAllowed));

    auto launch = flow.makeSignIn();
    CHECK_FALSE(launch->hasPreviousSignIn());
    auto [restored, restoreError] = flow.restore(*launch);
    CHECK_FALSE(restored);
    CHECK(restoreError->code() == -4);

    Outcome again = flow.signInOutcome();
    REQUIRE(again.error);
    CHECK(again.error->code() == -2);
    CHECK(again.error->localizedDescription() == "keychain error");
    CHECK(flow.signIn->currentUser() == user);
    // Signing out cannot remove it either; it stays for when the keyring is unlocked.
    flow.signIn->signOut();
    CHECK_FALSE(flow.signIn->currentUser());
    CHECK(platform::testing::secretToolSearch("auth").find("[/") != std::string::npos);
}
