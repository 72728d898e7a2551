// The authorization state: freshness, one shared refresh for concurrent callers, permanent and transient
// refresh failures, delegates and consistent token snapshots across threads.
#include <doctest/doctest.h>

#include <atomic>
#include <thread>

#include <nlohmann/json.hpp>

#include "oauth/AuthState.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "platform/base/Clock.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"
#include "tests/support/oidc/FakeOpenIDProvider.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;
using namespace std::chrono;
using testing::FakeOpenIDProvider;

namespace {

struct Delegates : AuthStateChangeDelegate, AuthStateErrorDelegate {
    int changes = 0;
    std::vector<Error> authorizationErrors;
    std::vector<Error> transientErrors;
    void didChangeState(AuthState&) override { ++changes; }
    void didEncounterAuthorizationError(AuthState&, const Error& e) override { authorizationErrors.push_back(e); }
    bool handlesTransientErrors() const override { return true; }
    void didEncounterTransientError(AuthState&, const Error& e) override { transientErrors.push_back(e); }
};

struct Fixture {
    FakeOpenIDProvider fake;
    std::shared_ptr<platform::ManualClock> clock =
        std::make_shared<platform::ManualClock>(floor<seconds>(platform::now()));
    platform::ScopedClock scoped{clock};
    ServiceConfigurationPtr configuration =
        std::make_shared<const ServiceConfiguration>(fake.authorizationEndpoint(), fake.tokenEndpoint());
    AuthorizationRequestPtr request = AuthorizationRequest::make(configuration, "client", std::nullopt, {"openid"},
                                                                 *URL::parse("com.example.app:/cb"), "code", {});
    AuthorizationResponsePtr response = AuthorizationResponse::make(request, Dictionary{{"code", "c"}});
    std::shared_ptr<Delegates> delegates = std::make_shared<Delegates>();

    std::shared_ptr<AuthState> state(Dictionary tokens) {
        auto s = AuthState::make(response, TokenResponse::make(response->tokenExchangeRequest(), tokens));
        s->setStateChangeDelegate(delegates);
        s->setErrorDelegate(delegates);
        return s;
    }
    void replyWithTokens(std::string access, std::optional<std::string> refresh, int expiresIn = 3600,
                         std::optional<std::string> scope = std::nullopt) {
        nlohmann::json reply{{"access_token", access}, {"expires_in", expiresIn}, {"token_type", "Bearer"}};
        if (refresh) reply["refresh_token"] = *refresh;
        if (scope) reply["scope"] = *scope;
        fake.replyToToken(200, reply.dump());
    }
    std::size_t tokenRequests() { return fake.server().requestsTo("/token").size(); }
};

struct ActionResult {
    std::optional<std::string> accessToken;
    OptionalError error;
    int calls = 0;
};

AuthStateAction record(ActionResult& r) {
    return [&r](std::optional<std::string> access, std::optional<std::string>, OptionalError error) {
        r.accessToken = std::move(access);
        r.error = std::move(error);
        ++r.calls;
    };
}

bool runUntilCalled(const ActionResult& r) {
    return platform::MainLoop::runUntil([&] { return r.calls > 0; }, seconds(20));
}

}  // namespace

TEST_CASE("a token with more than 60 seconds left is used as it is; 60 seconds or less is refreshed") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "old"}, {"refresh_token", "r1"}, {"expires_in", 61}});
    CHECK(state->isTokenFresh());
    ActionResult fresh;
    state->performActionWithFreshTokens(record(fresh));
    REQUIRE(runUntilCalled(fresh));
    CHECK(fresh.accessToken == "old");
    CHECK(f.tokenRequests() == 0);

    f.clock->advance(seconds(1));
    CHECK_FALSE(state->isTokenFresh());
    f.replyWithTokens("new", std::nullopt, 3600, "openid email");
    ActionResult refreshed;
    state->performActionWithFreshTokens(record(refreshed));
    REQUIRE(runUntilCalled(refreshed));
    CHECK(refreshed.accessToken == "new");
    CHECK_FALSE(refreshed.error);
    CHECK(f.tokenRequests() == 1);
    // The reply had no refresh token: the stored one stays; its scope replaces the old one.
    CHECK(state->refreshToken() == "r1");
    CHECK(state->scope() == "openid email");
    auto body = f.fake.server().requestsTo("/token").back();
    CHECK(body.param("grant_type") == "refresh_token");
    CHECK(body.param("refresh_token") == "r1");
    CHECK(body.param("client_id") == "client");
}

TEST_CASE("a token without expiry stays fresh until a refresh is asked for") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "a"}, {"refresh_token", "r1"}});
    f.clock->advance(hours(24 * 365));
    CHECK(state->isTokenFresh());
    state->setNeedsTokenRefresh();
    CHECK_FALSE(state->isTokenFresh());
    f.replyWithTokens("b", "r2");
    ActionResult result;
    state->performActionWithFreshTokens(record(result));
    REQUIRE(runUntilCalled(result));
    CHECK(result.accessToken == "b");
    CHECK(state->refreshToken() == "r2");
    CHECK(state->isTokenFresh());
}

TEST_CASE("callers arriving during a refresh share it, and each action runs once on its own queue, in order") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "old"}, {"refresh_token", "r1"}, {"expires_in", 0}});
    f.replyWithTokens("new", "r2");
    std::vector<std::shared_ptr<platform::DispatchQueue>> queues{platform::DispatchQueue::main(),
                                                                 platform::DispatchQueue::make("test.one"),
                                                                 platform::DispatchQueue::make("test.two")};
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> onOwnQueue{0};
    for (int i = 0; i < 3; ++i) {
        auto queue = queues[static_cast<std::size_t>(i)];
        state->performActionWithFreshTokens(
            [&, i, queue](std::optional<std::string> access, std::optional<std::string>, OptionalError error) {
                if (queue->isCurrent() && access == "new" && !error) ++onOwnQueue;
                std::lock_guard lock(mutex);
                order.push_back(i);
            },
            {}, queue);
    }
    REQUIRE(platform::MainLoop::runUntil([&] {
        std::lock_guard lock(mutex);
        return order.size() == 3;
    }));
    CHECK(onOwnQueue == 3);
    CHECK(f.tokenRequests() == 1);
}

TEST_CASE("invalid_grant ends the grant: no tokens, not authorized, and the error delegate hears of it") {
    // A server may send the refusal with status 200 as well: it is the same refusal.
    for (int status : {400, 200}) {
        CAPTURE(status);
        Fixture f;
        auto state = f.state(Dictionary{{"access_token", "old"}, {"refresh_token", "r1"}, {"expires_in", 0}});
        f.fake.replyToToken(status, R"({"error":"invalid_grant","error_description":"grant revoked"})");
        ActionResult result;
        state->performActionWithFreshTokens(record(result));
        REQUIRE(runUntilCalled(result));
        REQUIRE(result.error);
        CHECK(result.error->domain() == kOAuthTokenErrorDomain);
        CHECK(result.error->code() == OAuthErrorCode::invalidGrant);
        CHECK_FALSE(result.accessToken);
        CHECK_FALSE(state->isAuthorized());
        CHECK_FALSE(state->accessToken());
        REQUIRE(f.delegates->authorizationErrors.size() == 1);
        CHECK(f.delegates->authorizationErrors.front().code() == OAuthErrorCode::invalidGrant);
        // Later callers get the error too, never a token-less success.
        ActionResult later;
        state->performActionWithFreshTokens(record(later));
        REQUIRE(runUntilCalled(later));
        CHECK_FALSE(later.accessToken);
        CHECK(later.error);
    }
}

TEST_CASE("a failed refresh that is not a refusal leaves the state as it was and the next call tries again") {
    struct Case {
        int status;
        std::string body;
        std::int64_t code;
    };
    // A server failure, and a 200 reply that carries no access token.
    for (const auto& c : std::vector<Case>{
             {503, "<html>maintenance</html>", ErrorCode::serverError},
             {200, "{}", ErrorCode::tokenResponseConstructionError},
             {200, R"({"token_type":"Bearer","expires_in":3600})", ErrorCode::tokenResponseConstructionError}}) {
        CAPTURE(c.body);
        Fixture f;
        auto state = f.state(Dictionary{{"access_token", "old"}, {"refresh_token", "r1"}, {"expires_in", 0}});
        f.fake.replyToToken(c.status, c.body, c.status == 200 ? "application/json" : "text/html");
        ActionResult failed;
        state->performActionWithFreshTokens(record(failed));
        REQUIRE(runUntilCalled(failed));
        REQUIRE(failed.error);
        CHECK(failed.error->code() == c.code);
        CHECK(failed.accessToken == "old");
        CHECK(state->isAuthorized());
        CHECK(state->accessToken() == "old");
        CHECK(f.delegates->transientErrors.size() == 1);
        CHECK(f.delegates->authorizationErrors.empty());

        f.replyWithTokens("new", std::nullopt);
        ActionResult retried;
        state->performActionWithFreshTokens(record(retried));
        REQUIRE(runUntilCalled(retried));
        CHECK(retried.accessToken == "new");
        CHECK(f.tokenRequests() == 2);
    }
}

TEST_CASE("without a refresh token an expired token cannot be renewed") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "old"}, {"expires_in", 0}});
    ActionResult result;
    state->performActionWithFreshTokens(record(result));
    REQUIRE(runUntilCalled(result));
    CHECK(result.error->code() == ErrorCode::tokenRefreshError);
    CHECK(result.error->localizedDescription() == "Unable to refresh expired token without a refresh token.");
    CHECK_THROWS_AS(state->tokenRefreshRequest(), platform::ProgrammingException);
}

TEST_CASE("updates follow their rules and tell the state-change delegate") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "a"}, {"refresh_token", "r1"}, {"scope", "openid"}});
    int before = f.delegates->changes;
    state->updateWithAuthorizationError(Error(std::string(kOAuthTokenErrorDomain), OAuthErrorCode::invalidGrant));
    CHECK_FALSE(state->isAuthorized());
    // A token response clears the error again.
    state->updateWithTokenResponse(
        TokenResponse::make(f.response->tokenExchangeRequest(), Dictionary{{"access_token", "b"}}), std::nullopt);
    CHECK(state->isAuthorized());
    CHECK(state->accessToken() == "b");
    CHECK(state->refreshToken() == "r1");
    // A new authorization response starts over: no token response, no refresh token.
    state->updateWithAuthorizationResponse(AuthorizationResponse::make(f.request, Dictionary{{"code", "c2"}}),
                                           std::nullopt);
    CHECK_FALSE(state->lastTokenResponse());
    CHECK_FALSE(state->refreshToken());
    CHECK(state->scope() == "openid");
    CHECK(f.delegates->changes == before + 3);
    // An authorization-domain error goes to the error path.
    state->updateWithAuthorizationResponse(nullptr, Error(std::string(kOAuthAuthorizationErrorDomain), -4));
    CHECK(state->authorizationError()->code() == -4);
}

TEST_CASE("actions read one consistent pair of tokens while other threads read and the main queue refreshes") {
    Fixture f;
    auto state = f.state(Dictionary{{"access_token", "access-0"}, {"id_token", "id-0"}, {"refresh_token", "r"}});
    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                (void)state->accessToken();
                (void)state->description();
                (void)state->isAuthorized();
            }
        });
    }
    for (int i = 1; i <= 50; ++i) {
        state->updateWithTokenResponse(TokenResponse::make(f.response->tokenExchangeRequest(),
                                                           Dictionary{{"access_token", "access-" + std::to_string(i)},
                                                                      {"id_token", "id-" + std::to_string(i)}}),
                                       std::nullopt);
        state->performActionWithFreshTokens(
            [&](std::optional<std::string> access, std::optional<std::string> id, OptionalError) {
                if (!access || !id || access->substr(7) != id->substr(3)) ++mismatches;
            },
            {}, platform::DispatchQueue::make("reader"));
    }
    platform::MainLoop::runFor(milliseconds(50));
    stop = true;
    for (auto& t : readers) t.join();
    CHECK(mismatches == 0);
}
