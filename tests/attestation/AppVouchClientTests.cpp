// The attestation client: shared retrievals, the 300 s cache rule, limited-use tokens, the keychain
// store and its failures, the delegate, and timed refreshes.
#include <atomic>

#include "attestation/AppVouch.hpp"
#include "core/KeychainStorage.hpp"
#include "tests/attestation/AttestationTestSupport.hpp"

using namespace brisko::attestation;
using namespace brisko::attestation::testing;
using namespace std::chrono_literals;
using brisko::platform::InMemoryKeychain;

namespace {

struct CountingDelegate : AppVouchTokenDelegate {
    void tokenDidUpdate(const AppVouchToken& token, const std::string& serviceName) override {
        std::lock_guard lock(mutex);
        tokens.push_back(token);
        services.push_back(serviceName);
    }
    std::mutex mutex;
    std::vector<AppVouchToken> tokens;
    std::vector<std::string> services;
};

struct FakeTimers {
    struct Timer : AppVouchTimerProtocol {
        void invalidate() override {}
    };
    std::vector<Date> fireDates;
    std::vector<AppVouchTimer::Block> blocks;
    AppVouchTimer::Provider provider() {
        return
            [this](Date fireDate, const Queue&, AppVouchTimer::Block block) -> std::shared_ptr<AppVouchTimerProtocol> {
                fireDates.push_back(fireDate);
                blocks.push_back(std::move(block));
                return std::make_shared<Timer>();
            };
    }
};

// A client over a real keychain store (in memory), a scripted provider and a clock the test sets.
struct Fixture {
    AttestationTestEnvironment env;
    Date now = brisko::platform::dateFromTimeIntervalSince1970(1'700'000'000);
    std::shared_ptr<ScriptedProvider> provider = std::make_shared<ScriptedProvider>();
    std::shared_ptr<brisko::core::KeychainStorage> keychainStorage =
        brisko::core::KeychainStorage::initWithService("test.attestation.tokens");
    std::shared_ptr<AppVouchStorage> storage =
        std::make_shared<AppVouchStorage>("app_vouch_token.svc.res", keychainStorage, std::nullopt);
    std::shared_ptr<AppVouchSettings> settings = std::make_shared<AppVouchSettings>();
    std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
    FakeTimers timers;
    std::shared_ptr<AppVouch> client;

    explicit Fixture(bool autoRefresh = false) {
        settings->setIsTokenAutoRefreshEnabled(autoRefresh);
        DateProvider dates = [this] { return now; };
        provider->nextToken = [this] {
            return AppVouchToken("fresh-" + std::to_string(provider->calls()), now + 3600s, now);
        };
        auto refresher = std::make_shared<AppVouchTokenRefresher>(
            AppVouchTokenRefreshResult::initWithStatusNever(), timers.provider(), settings, dates, [] { return 0u; });
        client = AppVouch::initWithServiceName("svc", provider, storage, refresher, settings, delegate, dates);
    }

    void store(AppVouchToken token) { REQUIRE(settles(storage->setToken(std::move(token)))); }

    AppVouchTokenResult request(bool forcing = false) {
        std::optional<AppVouchTokenResult> result;
        client->tokenForcingRefresh(forcing, [&](const AppVouchTokenResult& r) { result = r; });
        REQUIRE(runUntil([&] { return result.has_value(); }));
        return *result;
    }
};

}  // namespace

TEST_CASE("two requests while nothing is cached share one provider call and get the same token") {
    Fixture f;
    f.provider->holdAnswers = true;
    std::vector<AppVouchTokenResult> results;
    f.client->tokenForcingRefresh(false, [&](const AppVouchTokenResult& r) { results.push_back(r); });
    REQUIRE(runUntil([&] { return f.provider->calls() == 1; }));
    // A forced request made meanwhile joins the retrieval in flight.
    f.client->tokenForcingRefresh(true, [&](const AppVouchTokenResult& r) { results.push_back(r); });
    brisko::platform::MainLoop::drain();
    CHECK(f.provider->calls() == 1);
    f.provider->release();
    REQUIRE(runUntil([&] { return results.size() == 2; }));
    CHECK_FALSE(results[0].error());
    CHECK(results[0].token() == results[1].token());
    CHECK(f.provider->calls() == 1);
    // Once settled, the next request starts anew (here from the cache).
    CHECK(f.request().token() == results[0].token());
    CHECK(f.provider->calls() == 1);
}

TEST_CASE("a stored token with 300 s left is served from the cache; with 299 s a refresh starts") {
    Fixture f;
    f.store(AppVouchToken("cached", f.now + 300s, f.now - 1h));
    auto served = f.request();
    CHECK(served.token().token == "cached");
    CHECK(f.provider->calls() == 0);
    CHECK(f.delegate->tokens.empty());

    f.now += 1s;  // 299 s left
    auto refreshed = f.request();
    CHECK(refreshed.token().token == "fresh-1");
    CHECK(f.provider->calls() == 1);
    REQUIRE(f.delegate->tokens.size() == 1);
    CHECK(f.delegate->services[0] == "svc");
    auto stored = f.storage->getToken();
    REQUIRE(settles(stored));
    CHECK((*stored.value())->token == "fresh-1");

    // Forcing skips the cache.
    CHECK(f.request(true).token().token == "fresh-2");
}

TEST_CASE("a failing keychain write fails the retrieval; the token is not handed out and nobody is told") {
    Fixture f;
    f.env.keychain->failNext(InMemoryKeychain::Operation::add, brisko::platform::errSecNotAvailable);
    f.env.keychain->failNext(InMemoryKeychain::Operation::update, brisko::platform::errSecNotAvailable);
    auto result = f.request();
    REQUIRE(result.error());
    CHECK(result.error()->domain() == "com.ezevar.app_vouch_core");
    CHECK(result.error()->code() == 3);
    CHECK(result.token().token == AppVouchTokenResult::placeholderToken().token);
    CHECK(f.delegate->tokens.empty());
    CHECK(f.timers.fireDates.empty());
}

TEST_CASE("a provider failure reaches the caller with the placeholder and keeps the stored token") {
    Fixture f;
    f.store(AppVouchToken("old", f.now + 10s, f.now - 1h));
    f.provider->failWith = Error("provider", 5);
    auto result = f.request();
    REQUIRE(result.error());
    CHECK(result.error()->code() == 5);
    CHECK(result.token().expirationDate < brisko::platform::now());
    auto stored = f.storage->getToken();
    REQUIRE(settles(stored));
    CHECK((*stored.value())->token == "old");
}

TEST_CASE("limited-use tokens never touch the keychain, the delegate or a retrieval in flight") {
    Fixture f;
    std::optional<AppVouchTokenResult> result;
    f.client->limitedUseTokenWithCompletion([&](const AppVouchTokenResult& r) { result = r; });
    REQUIRE(runUntil([&] { return result.has_value(); }));
    CHECK(result->token().token == "fresh-1");
    CHECK(f.provider->limitedUseCalls() == 1);
    for (auto op : {InMemoryKeychain::Operation::copyMatching, InMemoryKeychain::Operation::add,
                    InMemoryKeychain::Operation::update, InMemoryKeychain::Operation::deleteItems}) {
        CHECK(f.env.keychain->callCount(op) == 0);
    }
    CHECK(f.delegate->tokens.empty());
}

TEST_CASE("stored records: a record without token text is no token; without a delegate a refresh still works") {
    Fixture f;
    auto record = std::make_shared<AppVouchStoredToken>();
    record->expirationDate = f.now + 1h;
    record->receivedAtDate = f.now;
    std::atomic<bool> written{false};
    f.keychainStorage->setObject(record, "app_vouch_token.svc.res", std::nullopt,
                                 [&](brisko::platform::Value, std::optional<Error>) { written = true; });
    REQUIRE(runUntil([&] { return written.load(); }));
    f.keychainStorage->resetInMemoryCache();
    f.delegate.reset();
    auto result = f.request();
    CHECK_FALSE(result.error());
    CHECK(result.token().token == "fresh-1");
    CHECK(f.provider->calls() == 1);

    // The record round-trips through the keychain archive with its dates.
    auto again = std::make_shared<AppVouchStorage>(
        "app_vouch_token.svc.res", brisko::core::KeychainStorage::initWithService("test.attestation.tokens"),
        std::nullopt);
    auto read = again->getToken();
    REQUIRE(settles(read));
    REQUIRE(*read.value());
    CHECK(**read.value() == result.token());

    auto removed = again->setToken(std::nullopt);
    REQUIRE(settles(removed));
    auto gone = again->getToken();
    REQUIRE(settles(gone));
    CHECK_FALSE(*gone.value());
}

TEST_CASE("with auto refresh, the first timed refresh is served from the cache until 300 s are left") {
    Fixture f(true);
    // Auto refresh starts a first retrieval right after construction.
    REQUIRE(runUntil([&] { return f.provider->calls() == 1 && !f.timers.fireDates.empty(); }));
    CHECK(waitForGroup());
    const Date received = f.now;
    CHECK(f.timers.fireDates.back() == received + 2100s);

    f.now = received + 2100s;
    f.timers.blocks.back()();
    REQUIRE(runUntil([&] { return f.timers.fireDates.back() == f.now + 60s; }));
    CHECK(f.provider->calls() == 1);  // served from the cache

    f.now = received + 3301s;  // 299 s left
    f.timers.blocks.back()();
    REQUIRE(runUntil([&] { return f.provider->calls() == 2; }));
    CHECK(waitForGroup());
    CHECK(f.timers.fireDates.back() == f.now + 2100s);
}

TEST_CASE("a damaged or truncated keychain item is no token: a refresh replaces it") {
    for (std::string bytes : {std::string("garbage, not an archive"), std::string("bplist00\xd4\x01\x02", 11)}) {
        Fixture f;
        brisko::platform::KeychainItem item;
        item.service = "test.attestation.tokens";
        item.account = "app_vouch_token.svc.res";
        item.data = brisko::platform::toData(bytes);
        REQUIRE(f.env.keychain->add(item) == brisko::platform::errSecSuccess);
        auto result = f.request();
        CHECK_FALSE(result.error());
        CHECK(result.token().token == "fresh-1");
        f.keychainStorage->resetInMemoryCache();
        auto stored = f.storage->getToken();
        REQUIRE(settles(stored));
        REQUIRE(stored.isFulfilled());
        CHECK((*stored.value())->token == "fresh-1");
    }
}
