// The authorization session as the fetcher's authorizer: which requests get the token, errors, pending
// requests, refresh priming, the user fields taken from the ID token, and its archive.
#include <doctest/doctest.h>

#include "platform/base/Dispatch.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "signin/session/AuthSession.hpp"
#include "tests/signin/SigninTestSupport.hpp"

using namespace brisko;
using namespace brisko::signin;

namespace {

struct Answer {
    bool done = false;
    platform::OptionalError error;
};

std::shared_ptr<platform::URLRequest> requestFor(std::optional<std::string> url) {
    return std::make_shared<platform::URLRequest>(url ? platform::URL::parse(*url) : std::nullopt);
}

Answer authorize(AuthSession& session, const std::shared_ptr<platform::URLRequest>& request) {
    Answer answer;
    session.authorizeRequest(request, [&](platform::OptionalError error) {
        answer.done = true;
        answer.error = std::move(error);
    });
    platform::MainLoop::runUntil([&] { return answer.done; });
    return answer;
}

}  // namespace

TEST_CASE("which requests get the bearer token, and the errors of the others") {
    auto session = AuthSession::make(testing::makeAuthState());
    struct Case {
        std::optional<std::string> url;
        bool authorizeAll;
        std::optional<std::int64_t> code;
    };
    for (const auto& c :
         {Case{"https://api.example.com/x", false, std::nullopt},
          Case{"HTTPS://api.example.com/x", false, std::nullopt}, Case{std::nullopt, false, std::nullopt},
          Case{"file:///tmp/x", false, std::nullopt}, Case{"http://api.example.com/x", false, 0},
          Case{"http://api.example.com/x", true, std::nullopt}}) {
        INFO(c.url.value_or("(no URL)") << " authorizeAll=" << c.authorizeAll);
        session->setShouldAuthorizeAllRequests(c.authorizeAll);
        auto request = requestFor(c.url);
        auto answer = authorize(*session, request);
        REQUIRE(answer.done);
        if (c.code) {
            REQUIRE(answer.error);
            CHECK(answer.error->domain() == "ETMAuthSessionErrorDomain");
            CHECK(answer.error->code() == *c.code);
            CHECK_FALSE(request->valueForHTTPHeaderField("Authorization"));
        } else {
            CHECK_FALSE(answer.error);
            CHECK(request->valueForHTTPHeaderField("Authorization") == "Bearer access-token-1");
            CHECK(session->isAuthorizedRequest(*request));
        }
    }
}

TEST_CASE("an empty access token is code 1 even over https") {
    testing::StateTokens tokens;
    tokens.accessToken = "";
    auto session = AuthSession::make(testing::makeAuthState(tokens));
    auto answer = authorize(*session, requestFor("https://api.example.com/x"));
    REQUIRE(answer.error);
    CHECK(answer.error->code() == 1);
    CHECK(authSessionErrorCode(1) == AuthSessionErrorCode::accessTokenEmptyForRequest);
    CHECK_FALSE(authSessionErrorCode(2));
}

TEST_CASE("a stopped request is never answered; an equal one queued beside it still is") {
    auto session = AuthSession::make(testing::makeAuthState());
    auto first = requestFor("https://api.example.com/same");
    auto second = requestFor("https://api.example.com/same");
    int firstAnswers = 0, secondAnswers = 0;
    // The state answers on the main queue, so both wait until the loop runs.
    session->authorizeRequest(first, [&](platform::OptionalError) { ++firstAnswers; });
    session->authorizeRequest(second, [&](platform::OptionalError) { ++secondAnswers; });
    CHECK(session->isAuthorizingRequest(*first));
    session->stopAuthorizationForRequest(*first);
    CHECK(session->isAuthorizingRequest(*second));
    platform::MainLoop::runUntil([&] { return secondAnswers + firstAnswers >= 1; });
    platform::MainLoop::runFor(std::chrono::milliseconds(20));
    CHECK(firstAnswers + secondAnswers == 1);
    CHECK_FALSE(session->isAuthorizingRequest(*second));
    // The entry that stayed was answered with the token (on the caller's request object).
    CHECK(((first->valueForHTTPHeaderField("Authorization").has_value()) !=
           (second->valueForHTTPHeaderField("Authorization").has_value())));
}

TEST_CASE("primeForRefresh marks the state only when it has a refresh token; any header counts as authorized") {
    auto state = testing::makeAuthState();
    auto session = AuthSession::make(state);
    REQUIRE(state->isTokenFresh());
    CHECK(session->primeForRefresh() == true);
    CHECK_FALSE(state->isTokenFresh());

    testing::StateTokens tokens;
    tokens.refreshToken = std::nullopt;
    auto plain = testing::makeAuthState(tokens);
    CHECK(AuthSession::make(plain)->primeForRefresh() == false);
    CHECK(plain->isTokenFresh());

    platform::URLRequest request(platform::URL::parse("https://x.test"));
    CHECK_FALSE(session->isAuthorizedRequest(request));
    request.setValue("Basic abc", "Authorization");
    CHECK(session->isAuthorizedRequest(request));
}

TEST_CASE("the ID token's text claims take precedence over the user fields given; a Boolean claim does not") {
    testing::StateTokens tokens;
    tokens.idToken =
        testing::makeIDToken({{"sub", "sub-9"}, {"email", "id@example.test"}}, std::chrono::hours(1), true);
    auto session =
        AuthSession::make(testing::makeAuthState(tokens), "Ezevar", "given-id", "given@example.test", "false");
    CHECK(session->userID() == "sub-9");
    CHECK(session->userEmail() == "id@example.test");
    CHECK(session->storedUserEmailIsVerified() == "false");
    CHECK_FALSE(session->userEmailIsVerified());

    auto data = platform::KeyedArchiver::archivedDataWithRootObject(session, true);
    auto back = platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthSession>(data);
    REQUIRE(back);
    CHECK(back->serviceProvider() == "Ezevar");
    CHECK(back->userID() == "sub-9");
    CHECK(back->authState()->refreshToken() == "refresh-token-1");
}

TEST_CASE("a delegate may replace the error before it is delivered") {
    struct Replacing : AuthSessionDelegate {
        bool updateErrorForAuthSession(AuthSession&, const platform::Error&,
                                       std::function<void(platform::OptionalError)> completion) override {
            completion(platform::Error("replaced", 7));
            return true;
        }
    };
    auto delegate = std::make_shared<Replacing>();
    auto session = AuthSession::make(testing::makeAuthState());
    session->setDelegate(delegate);
    auto answer = authorize(*session, requestFor("http://plain.example.com"));
    REQUIRE(answer.error);
    CHECK(answer.error->domain() == "replaced");
}
