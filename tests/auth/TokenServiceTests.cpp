// The shared refresh of the access-token service, ID-token decoding and the archives of the user and its
// token service.
#include <doctest/doctest.h>

#include <atomic>
#include <mutex>

#include "auth/AuthTokenResult.hpp"
#include "auth/SecureTokenService.hpp"
#include "auth/TokenRefreshCoalescer.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "platform/storage/Crypto.hpp"
#include "tests/auth/AuthTestSupport.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;

namespace {
// Refreshes that wait until the test lets them finish, counting how many were started.
struct GatedRefreshes {
    std::mutex mutex;
    std::vector<platform::Continuation<TokenFetchResult>> gates;
    std::atomic<int> started{0};

    TokenRefreshCoalescer::Refresh make() {
        return [this]() -> platform::Task<TokenFetchResult> {
            ++started;
            co_return co_await platform::withContinuation<TokenFetchResult>([this](auto c) {
                std::lock_guard lock(mutex);
                gates.push_back(std::move(c));
            });
        };
    }
    bool waiting(std::size_t n) {
        std::lock_guard lock(mutex);
        return gates.size() == n;
    }
    void finish(std::size_t index, TokenFetchResult result) {
        std::lock_guard lock(mutex);
        gates.at(index).resume(std::move(result));
    }
    void fail(std::size_t index, const platform::Error& error) {
        std::lock_guard lock(mutex);
        gates.at(index).resumeThrowing(error);
    }
};

struct Outcome {
    std::optional<TokenFetchResult> result;
    std::optional<platform::Error> error;
};

// Starts one caller on a queue of its own; its outcome lands in `out`. The caller runs up to its join
// (or its own refresh) in the first task of that queue, so a sync on the returned queue means it has
// joined.
std::shared_ptr<platform::DispatchQueue> startCaller(TokenRefreshCoalescer& coalescer, GatedRefreshes& refreshes,
                                                     std::string token, Outcome& out, std::atomic<int>& done) {
    auto queue = platform::DispatchQueue::make("caller");
    platform::spawn(queue, coalescer.sharedRefresh(std::move(token), refreshes.make()),
                    [&out, &done](std::exception_ptr e, TokenFetchResult r) {
                        if (e) {
                            out.error = platform::errorFromException(e);
                        } else {
                            out.result = std::move(r);
                        }
                        ++done;
                    });
    return queue;
}

std::string segment(const nlohmann::json& j) {
    return platform::crypto::base64URLEncode(j.dump());
}
}  // namespace

TEST_CASE("callers holding the same access token share one refresh, its result and its error") {
    for (const bool failing : {false, true}) {
        CAPTURE(failing);
        TokenRefreshCoalescer coalescer;
        GatedRefreshes refreshes;
        std::vector<Outcome> outcomes(10);
        std::atomic<int> done{0};
        startCaller(coalescer, refreshes, "token-1", outcomes[0], done);
        REQUIRE(waitOnMain([&] { return refreshes.waiting(1); }));
        std::vector<std::shared_ptr<platform::DispatchQueue>> joiners;
        for (int i = 1; i < 10; ++i) joiners.push_back(startCaller(coalescer, refreshes, "token-1", outcomes[i], done));
        for (auto& queue : joiners) queue->sync([] {});
        if (failing) {
            refreshes.fail(0, AuthErrorUtils::makeError(AuthErrorCode::networkRequestFailed));
        } else {
            refreshes.finish(0, {std::string("token-2"), true});
        }
        REQUIRE(waitOnMain([&] { return done == 10; }));
        CHECK(refreshes.started == 1);
        for (const auto& o : outcomes) {
            if (failing) {
                REQUIRE(o.error);
                CHECK(o.error->code() == rawValue(AuthErrorCode::networkRequestFailed));
            } else {
                REQUIRE(o.result);
                CHECK(*o.result == TokenFetchResult{std::string("token-2"), true});
            }
        }
    }
}

TEST_CASE("a caller with another token starts its own refresh, and the first refresh to end clears the pending one") {
    TokenRefreshCoalescer coalescer;
    GatedRefreshes refreshes;
    Outcome a, b, c;
    std::atomic<int> done{0};
    startCaller(coalescer, refreshes, "token-1", a, done);
    REQUIRE(waitOnMain([&] { return refreshes.waiting(1); }));
    startCaller(coalescer, refreshes, "token-2", b, done);
    REQUIRE(waitOnMain([&] { return refreshes.waiting(2); }));
    // The first refresh ends: the pending state is cleared although the second is still running.
    refreshes.finish(0, {std::string("token-3"), true});
    REQUIRE(waitOnMain([&] { return done == 1; }));
    startCaller(coalescer, refreshes, "token-2", c, done);
    REQUIRE(waitOnMain([&] { return refreshes.waiting(3); }));
    CHECK(refreshes.started == 3);
    refreshes.finish(1, {std::string("token-4"), true});
    refreshes.finish(2, {std::string("token-5"), true});
    REQUIRE(waitOnMain([&] { return done == 3; }));
    CHECK(a.result->first == "token-3");
    CHECK(b.result->first == "token-4");
    CHECK(c.result->first == "token-5");
}

TEST_CASE("a refreshed token that is itself near its end is asked for once more, and never a third time") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    f.service.clearRequests();
    f.service.setIDTokenLifetime(std::chrono::seconds(200));
    CHECK_NOTHROW(f.run(user->getIDToken(true)));
    CHECK(f.service.requestsTo("token").size() == 2);
}

TEST_CASE("a failed refresh leaves the tokens as they were and the next fetch tries again") {
    AuthFixture f;
    auto user = f.signInWithEzevar()->user();
    const auto before = user->tokenService()->tokens();
    f.service.injectFault("token", testing::IdentityService::Fault::ofStatus(503).once());
    CHECK_THROWS(f.run(user->getIDToken(true)));
    const auto after = user->tokenService()->tokens();
    CHECK(after.accessToken == before.accessToken);
    CHECK(after.refreshToken == before.refreshToken);
    CHECK(after.accessTokenExpirationDate == before.accessTokenExpirationDate);
    CHECK(f.run(user->getIDToken(true)) != before.accessToken);
}

TEST_CASE("ID tokens decode their claims and refuse what is not a token") {
    const auto header = segment({{"alg", "none"}});
    const nlohmann::json claims = {{"exp", 1700003600.5},
                                   {"auth_time", 1700000000},
                                   {"iat", 1700000000},
                                   {"zudiridi", {{"sign_in_provider", "ezevar.com"}}},
                                   {"custom", {{"nested", true}}}};
    auto token = header + "." + segment(claims) + ".";
    auto result = AuthTokenResult::tokenResult(token);
    CHECK(result.signInProvider == "ezevar.com");
    CHECK(result.signInSecondFactor.empty());
    CHECK(platform::timeIntervalSince1970(result.expirationDate) == doctest::Approx(1700003600.5));
    REQUIRE(result.claims.contains("custom"));
    CHECK(result.claims.at("custom").dictionary() != nullptr);

    // Dates beyond 2262 (the last a date holds) read as that last date, not as one before 1970.
    auto farFuture = claims;
    farFuture["exp"] = 32503680000.0;  // the year 3000
    farFuture["auth_time"] = 1e300;
    auto far = AuthTokenResult::tokenResult(header + "." + segment(farFuture) + ".");
    CHECK(far.expirationDate == platform::Date::max());
    CHECK(far.authDate == platform::Date::max());
    CHECK(platform::timeIntervalSince1970(far.issuedAtDate) == doctest::Approx(1700000000));

    struct Bad {
        const char* name;
        std::string token;
    };
    auto withClaims = [&](nlohmann::json c) { return header + "." + segment(c) + ".x"; };
    auto missing = claims;
    missing.erase("iat");
    auto wrongType = claims;
    wrongType["exp"] = "soon";
    const Bad cases[] = {
        {"two pieces", header + "." + segment(claims)},
        {"four pieces", token + ".x"},
        {"empty", ""},
        {"not JSON", header + "." + platform::crypto::base64URLEncode(std::string("{not json")) + ".x"},
        {"a missing claim", withClaims(missing)},
        {"a text where a date belongs", withClaims(wrongType)},
        {"a bare number", withClaims(5)},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        try {
            AuthTokenResult::tokenResult(c.token);
            FAIL("must not decode");
        } catch (const platform::ErrorException& e) {
            CHECK(e.error().code() == rawValue(AuthErrorCode::malformedJWT));
        }
    }
}

TEST_CASE(
    "a user's archive keeps its profile and tokens, and a user read outside a client reports instead of stopping") {
    AuthFixture f;
    auto user = f.signInWithEzevar("sub-9", "nine@example.com")->user();
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(user, true);
    auto decoded = platform::KeyedUnarchiver::unarchivedObjectOfClass<User>(data);
    REQUIRE(decoded);
    CHECK(decoded->uid() == user->uid());
    CHECK(decoded->email() == user->email());
    CHECK(decoded->providerData().size() == user->providerData().size());
    CHECK(decoded->tokenService()->accessToken() == user->tokenService()->accessToken());
    CHECK(decoded->tokenService()->refreshToken() == user->tokenService()->refreshToken());
    CHECK(decoded->tokenService()->requestConfiguration() == nullptr);
    // No identity client has adopted it: its refresh cannot be made, and says so.
    try {
        f.run(decoded->getIDToken(true));
        FAIL("a refresh without a configuration must fail");
    } catch (const platform::ErrorException& e) {
        CHECK(e.error().code() == rawValue(AuthErrorCode::internalError));
    }
}

TEST_CASE("sign-in results and their provider information read back from their archives") {
    AuthFixture f;
    auto result = f.signInWithEzevar("sub-r", "r@example.com");
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(result, true);
    auto decoded = platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthDataResult>(data);
    REQUIRE(decoded);
    CHECK(decoded->user()->uid() == result->user()->uid());
    REQUIRE(decoded->additionalUserInfo());
    CHECK(decoded->additionalUserInfo()->providerID() == result->additionalUserInfo()->providerID());
    CHECK(decoded->additionalUserInfo()->isNewUser() == result->additionalUserInfo()->isNewUser());
    CHECK(decoded->additionalUserInfo()->newUser() == decoded->additionalUserInfo()->isNewUser());

    auto info = std::make_shared<AdditionalUserInfo>("password", std::nullopt, std::nullopt, false);
    auto back = platform::KeyedUnarchiver::unarchivedObjectOfClass<AdditionalUserInfo>(
        platform::KeyedArchiver::archivedDataWithRootObject(info, true));
    REQUIRE(back);
    CHECK(back->providerID() == "password");
    CHECK_FALSE(back->profile());
    CHECK_FALSE(back->username());
    CHECK_FALSE(back->isNewUser());
}
