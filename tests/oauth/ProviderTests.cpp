// Whole flows against a real OpenID provider (oidc-provider under Node, started here), driven by a
// scripted browser: discovery, code + PKCE + nonce through the loopback listener, refresh-token rotation,
// refusals, registration and logout.
#include <doctest/doctest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "oauth/AuthState.hpp"
#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/IDToken.hpp"
#include "oauth/RedirectHTTPHandler.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"
#include "tests/support/oidc/OpenIDProvider.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;
using testing::OpenIDProvider;
using testing::ScriptedBrowser;

namespace {

// One provider for the whole run (started on first use, stopped at exit).
OpenIDProvider& provider() {
    static OpenIDProvider instance;
    return instance;
}

ServiceConfigurationPtr discovered() {
    static ServiceConfigurationPtr configuration = [] {
        Outcome<ServiceConfigurationPtr> outcome;
        AuthorizationService::discoverServiceConfigurationForIssuer(*URL::parse(provider().issuer()), outcome.callback());
        REQUIRE(outcome.wait());
        REQUIRE_MESSAGE(outcome.value, (outcome.error ? outcome.error->description() : std::string()));
        return outcome.value;
    }();
    return configuration;
}

// Opens request URLs in the scripted browser on a thread of its own, as a user's browser runs beside
// the app; the browser's output is kept.
class BrowserOpener {
  public:
    explicit BrowserOpener(std::vector<std::string> options = {}) : options_(std::move(options)) {}
    ~BrowserOpener() { join(); }
    ExternalUserAgentMac::URLOpener opener() {
        return [this](std::string_view url) {
            join();
            std::vector<std::string> args{std::string(url)};
            args.insert(args.end(), options_.begin(), options_.end());
            thread_ = std::thread([this, args] { result_ = ScriptedBrowser::run(args); });
            return true;
        };
    }
    // Waits for the browser to finish (running the main queue meanwhile) and gives what it printed.
    testing::ProcessResult finish() {
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            join();
            done = true;
        });
        platform::MainLoop::runUntil([&] { return done.load(); }, std::chrono::seconds(60));
        waiter.join();
        return result_;
    }

  private:
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> options_;
    std::thread thread_;
    testing::ProcessResult result_;
};

struct SignIn {
    std::shared_ptr<AuthState> state;
    OptionalError error;
    testing::ProcessResult browser;
    AuthorizationRequestPtr request;
};

AuthorizationRequestPtr loopbackRequest(const URL& redirect, std::string_view clientID = OpenIDProvider::kNativeClientID,
                                        std::optional<std::string> secret = std::nullopt,
                                        StringMap extra = {{"prompt", "consent"}}) {
    return AuthorizationRequest::make(discovered(), std::string(clientID), std::move(secret),
                                      {"openid", "offline_access", "email"}, redirect, "code", std::move(extra));
}

// Code + PKCE + nonce through the loopback listener, the page opened by the scripted browser.
SignIn signInThroughLoopback(std::vector<std::string> browserOptions = {},
                             std::string_view clientID = OpenIDProvider::kNativeClientID,
                             std::optional<std::string> secret = std::nullopt, StringMap extra = {{"prompt", "consent"}}) {
    auto handler = std::make_shared<RedirectHTTPHandler>();
    auto redirect = handler->startHTTPListener();
    REQUIRE(redirect);
    SignIn result;
    result.request = loopbackRequest(*redirect, clientID, std::move(secret), std::move(extra));
    BrowserOpener browser(std::move(browserOptions));
    auto agent = std::make_shared<ExternalUserAgentMac>();
    agent->setURLOpener(browser.opener());
    Outcome<std::shared_ptr<AuthState>> outcome;
    handler->setCurrentAuthorizationFlow(
        AuthState::authStateByPresentingAuthorizationRequest(result.request, agent, outcome.callback()));
    REQUIRE(outcome.wait(std::chrono::seconds(60)));
    result.browser = browser.finish();
    result.state = outcome.value;
    result.error = outcome.error;
    return result;
}

}  // namespace

TEST_CASE("the provider's configuration is discovered from its issuer") {
    auto configuration = discovered();
    CHECK(configuration->issuer()->absoluteString() == provider().issuer());
    CHECK(configuration->authorizationEndpoint().absoluteString() == provider().issuer() + "/auth");
    CHECK(configuration->tokenEndpoint().absoluteString() == provider().issuer() + "/token");
    CHECK(configuration->registrationEndpoint());
    CHECK(configuration->endSessionEndpoint());
    REQUIRE(configuration->discoveryDocument());
    CHECK(configuration->discoveryDocument()->jwksURL());
}

TEST_CASE("a sign-in with code, PKCE and nonce through the default browser and the loopback listener") {
    namespace fs = std::filesystem;
    auto log = fs::temp_directory_path() / ("brisko-browser-log-" + std::to_string(::getpid()));
    fs::remove(log);
    // The real road: xdg-open, which hands the page to $BROWSER (the scripted browser) on a desktop-less
    // session.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID"}) {
        ::unsetenv(name);
    }
    ::setenv("BROWSER", (std::string(BRISKO_OIDC_SUPPORT_DIR) + "/browser.sh").c_str(), 1);
    ::setenv("BRISKO_BROWSER_LOG", log.c_str(), 1);

    auto handler = std::make_shared<RedirectHTTPHandler>();
    auto redirect = handler->startHTTPListener();
    REQUIRE(redirect);
    auto request = loopbackRequest(*redirect);
    Outcome<std::shared_ptr<AuthState>> outcome;
    handler->setCurrentAuthorizationFlow(AuthState::authStateByPresentingAuthorizationRequest(request, outcome.callback()));
    REQUIRE(outcome.wait(std::chrono::seconds(60)));
    ::unsetenv("BROWSER");
    REQUIRE_MESSAGE(outcome.value, (outcome.error ? outcome.error->description() : std::string()));
    auto state = outcome.value;
    CHECK(state->isAuthorized());
    CHECK(state->accessToken());
    CHECK(state->refreshToken());
    REQUIRE(state->idToken());
    auto idToken = IDToken::initWithIDTokenString(*state->idToken());
    REQUIRE(idToken);
    CHECK(idToken->nonce() == request->nonce());
    CHECK(idToken->subject() == "alice");
    CHECK(idToken->issuer().absoluteString() == provider().issuer());
    CHECK_FALSE(handler->server());

    // The browser was told that the sign-in completed (it may still be writing its log).
    std::string text;
    for (int i = 0; i < 250 && text.find("Authorization complete.") == std::string::npos; ++i) {
        std::ifstream in(log);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (text.find("Authorization complete.") == std::string::npos) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CHECK(text.find("DELIVERED 200") != std::string::npos);
    CHECK(text.find("Authorization complete.") != std::string::npos);
    fs::remove(log);
}

TEST_CASE("refresh tokens rotate: the new one replaces the old, and the old one is refused") {
    auto signIn = signInThroughLoopback();
    REQUIRE(signIn.state);
    auto state = signIn.state;
    auto firstRefresh = *state->refreshToken();
    auto firstAccess = *state->accessToken();

    state->setNeedsTokenRefresh();
    Outcome<std::optional<std::string>> refreshed;
    state->performActionWithFreshTokens(
        [&](std::optional<std::string> access, std::optional<std::string>, OptionalError error) {
            refreshed.callback()(std::move(access), std::move(error));
        });
    REQUIRE(refreshed.wait());
    REQUIRE_MESSAGE(!refreshed.error, refreshed.error->description());
    CHECK(refreshed.value != firstAccess);
    REQUIRE(state->refreshToken());
    CHECK(*state->refreshToken() != firstRefresh);
    CHECK(state->idToken());

    auto old = TokenRequest::make(discovered(), "refresh_token", std::nullopt, std::nullopt,
                                  std::string(OpenIDProvider::kNativeClientID), std::nullopt, std::optional<std::string>(),
                                  firstRefresh, std::nullopt, {});
    auto [response, error] = performTokenRequest(old);
    CHECK_FALSE(response);
    REQUIRE(error);
    CHECK(error->domain() == kOAuthTokenErrorDomain);
    CHECK(error->code() == OAuthErrorCode::invalidGrant);
}

TEST_CASE("the provider's refusals: denied consent, prompt=none without a session, a replayed code, a wrong verifier") {
    SUBCASE("consent denied") {
        auto signIn = signInThroughLoopback({"--deny"});
        CHECK_FALSE(signIn.state);
        REQUIRE(signIn.error);
        CHECK(signIn.error->domain() == kOAuthAuthorizationErrorDomain);
        CHECK(signIn.error->code() == OAuthErrorCode::accessDenied);
        CHECK(signIn.browser.contains("Authorization failed."));
    }
    SUBCASE("prompt=none without a session") {
        auto signIn = signInThroughLoopback({}, OpenIDProvider::kNativeClientID, std::nullopt, {{"prompt", "none"}});
        REQUIRE(signIn.error);
        CHECK(signIn.error->domain() == kOAuthAuthorizationErrorDomain);
        CHECK(signIn.error->code() == OAuthErrorCode::clientError);
        CHECK(signIn.error->localizedDescription().starts_with("login_required"));
    }
    SUBCASE("a code is good once; a wrong verifier is refused") {
        auto handler = std::make_shared<RedirectHTTPHandler>();
        auto redirect = handler->startHTTPListener();
        auto request = loopbackRequest(*redirect);
        BrowserOpener browser;
        auto agent = std::make_shared<ExternalUserAgentMac>();
        agent->setURLOpener(browser.opener());
        Outcome<AuthorizationResponsePtr> authorization;
        handler->setCurrentAuthorizationFlow(
            AuthorizationService::presentAuthorizationRequest(request, agent, authorization.callback()));
        REQUIRE(authorization.wait(std::chrono::seconds(60)));
        browser.finish();
        REQUIRE(authorization.value);
        auto response = authorization.value;

        auto wrongVerifier = TokenRequest::make(discovered(), "authorization_code", response->authorizationCode(),
                                                request->redirectURL(), request->clientID(), std::nullopt,
                                                std::optional<std::string>(), std::nullopt,
                                                *AuthorizationRequest::generateCodeVerifier(), {});
        auto [refused, refusal] = performTokenRequest(wrongVerifier, response);
        CHECK_FALSE(refused);
        REQUIRE(refusal);
        CHECK(refusal->code() == OAuthErrorCode::invalidGrant);
        auto [exchanged, exchangeError] = performTokenRequest(response->tokenExchangeRequest(), response);
        REQUIRE_MESSAGE(exchanged, (exchangeError ? exchangeError->description() : std::string()));
        auto [replayed, replayError] = performTokenRequest(response->tokenExchangeRequest(), response);
        CHECK_FALSE(replayed);
        REQUIRE(replayError);
        CHECK(replayError->code() == OAuthErrorCode::invalidGrant);
    }
}

TEST_CASE("a confidential client authenticates with a form-encoded Basic header; a wrong secret is refused") {
    auto good = signInThroughLoopback({}, OpenIDProvider::kConfidentialClientID,
                                      std::string(OpenIDProvider::kConfidentialSecret));
    REQUIRE_MESSAGE(good.state, (good.error ? good.error->description() : std::string()));
    CHECK(good.state->accessToken());

    auto bad = signInThroughLoopback({}, OpenIDProvider::kConfidentialClientID, std::string("wrong secret"));
    CHECK_FALSE(bad.state);
    REQUIRE(bad.error);
    CHECK(bad.error->domain() == kOAuthTokenErrorDomain);
    CHECK(bad.error->code() == OAuthErrorCode::invalidClient);
}

TEST_CASE("a hybrid flow's front-channel ID token is checked, and its code can be exchanged") {
    auto configuration = discovered();
    auto request = AuthorizationRequest::make(configuration, std::string(OpenIDProvider::kHybridClientID), std::nullopt,
                                              {"openid"}, *URL::parse("http://127.0.0.1/"), "code id_token", {});
    auto agent = std::make_shared<ScriptedAgent>();
    Outcome<std::shared_ptr<AuthState>> outcome;
    auto session = AuthState::authStateByPresentingAuthorizationRequest(request, agent, outcome.callback());
    // The browser stops at the redirect; its fragment reaches the app as the redirect URL.
    auto run = ScriptedBrowser::run({agent->presentedURL->absoluteString(), "--print-only"});
    auto redirect = URL::parse(run.lineValue("REDIRECT"));
    REQUIRE_MESSAGE(redirect, run.output);
    CHECK(redirect->fragment());
    CHECK(session->resumeExternalUserAgentFlowWithURL(*redirect));
    REQUIRE(outcome.wait());
    REQUIRE_MESSAGE(outcome.value, (outcome.error ? outcome.error->description() : std::string()));
    auto response = outcome.value->lastAuthorizationResponse();
    CHECK(response->idToken());
    REQUIRE(response->authorizationCode());
    // The state holds the front-channel tokens; the code's exchange is the caller's to make.
    CHECK_FALSE(outcome.value->lastTokenResponse());
    auto [tokens, error] = performTokenRequest(response->tokenExchangeRequest(), response);
    REQUIRE_MESSAGE(tokens, (error ? error->description() : std::string()));
    CHECK(tokens->idToken());
}

TEST_CASE("dynamic registration needs the provider's initial access token") {
    auto configuration = discovered();
    auto perform = [](RegistrationRequestPtr request) {
        Outcome<RegistrationResponsePtr> outcome;
        AuthorizationService::performRegistrationRequest(std::move(request), outcome.callback());
        REQUIRE(outcome.wait());
        return std::make_pair(outcome.value, outcome.error);
    };
    auto with = RegistrationRequest::make(configuration, {*URL::parse("http://127.0.0.1/")}, std::nullopt,
                                          std::vector<std::string>{"authorization_code"}, std::nullopt, "none",
                                          std::string(OpenIDProvider::kInitialAccessToken), {});
    auto [registered, error] = perform(with);
    REQUIRE_MESSAGE(registered, (error ? error->description() : std::string()));
    CHECK(registered->clientID());
    CHECK(registered->registrationAccessToken());
    CHECK(registered->registrationClientURI());
    CHECK(registered->tokenEndpointAuthenticationMethod() == "none");

    auto without = RegistrationRequest::make(configuration, {*URL::parse("http://127.0.0.1/")}, std::nullopt, std::nullopt,
                                             std::nullopt, std::nullopt, std::nullopt, {});
    auto [refused, refusal] = perform(without);
    CHECK_FALSE(refused);
    REQUIRE(refusal);
    CHECK(refusal->code() == ErrorCode::serverError);
    CHECK(refusal->underlyingError()->code() == 401);
}

TEST_CASE("logging out at the provider returns with the request's state") {
    auto signIn = signInThroughLoopback();
    REQUIRE(signIn.state);
    auto request = EndSessionRequest::make(discovered(), signIn.state->idToken(),
                                           *URL::parse(OpenIDProvider::kLogoutRedirect), StringMap{});
    auto agent = std::make_shared<ScriptedAgent>();
    Outcome<EndSessionResponsePtr> outcome;
    auto session = AuthorizationService::presentEndSessionRequest(request, agent, outcome.callback());
    auto run = ScriptedBrowser::run({agent->presentedURL->absoluteString()});
    auto redirect = URL::parse(run.lineValue("REDIRECT"));
    REQUIRE_MESSAGE(redirect, run.output);
    CHECK(session->resumeExternalUserAgentFlowWithURL(*redirect));
    REQUIRE(outcome.calls == 1);
    REQUIRE(outcome.value);
    CHECK(outcome.value->state() == request->state());
}
