// Backoff after backend failures and the refresh plan, with an injected clock and random source.
#include <atomic>
#include <mutex>

#include "attestation/AppVouchBackoffWrapper.hpp"
#include "attestation/AppVouchTokenRefresher.hpp"
#include "tests/attestation/AttestationTestSupport.hpp"

using namespace brisko::attestation;
using namespace brisko::attestation::testing;
using namespace std::chrono_literals;

namespace {

// A clock and a random source the test moves.
struct Controls {
    std::mutex mutex;
    Date now = brisko::platform::dateFromTimeIntervalSince1970(1'700'000'000);
    std::uint32_t random = 0;

    DateProvider dates() {
        return [this] {
            std::lock_guard lock(mutex);
            return now;
        };
    }
    RandomSource randoms() {
        return [this] {
            std::lock_guard lock(mutex);
            return random;
        };
    }
    void advance(Date::duration d) {
        std::lock_guard lock(mutex);
        now += d;
    }
};

Error httpError(int status) {
    auto url = *brisko::platform::URL::parse("http://127.0.0.1/v1/x");
    return AppVouchErrorUtil::APIErrorWithHTTPResponse(std::make_shared<const brisko::platform::HTTPURLResponse>(
                                                           url, status, "HTTP/1.1", brisko::platform::HTTPHeaders{}),
                                                       brisko::platform::toData("no"));
}

// Runs one operation through the wrapper and says whether it was called and how it ended.
struct Attempt {
    bool called = false;
    Promise<int> result;
};
Attempt attempt(AppVouchBackoffWrapper& wrapper, std::optional<Error> failWith) {
    Attempt a;
    a.result = wrapper.applyBackoffToOperation<int>(
        [&a, failWith] {
            a.called = true;
            return failWith ? Promise<int>::resolvedWith(*failWith) : Promise<int>::resolvedWith(1);
        },
        AppVouchBackoffWrapper::defaultAppVouchProviderErrorHandler());
    REQUIRE(settles(a.result));
    return a;
}

}  // namespace

TEST_CASE("400 and 404 block for exactly one day and the refusal makes no call") {
    for (int status : {400, 404}) {
        CAPTURE(status);
        Controls c;
        auto wrapper = std::make_shared<AppVouchBackoffWrapper>(c.dates(), c.randoms());
        CHECK(attempt(*wrapper, httpError(status)).called);
        c.advance(86399s + 999ms);
        auto refused = attempt(*wrapper, std::nullopt);
        CHECK_FALSE(refused.called);
        CHECK(refused.result.error()->localizedFailureReason()->rfind(
                  "Too many attempts. Underlying error: The server responded with an error: ", 0) == 0);
        c.advance(1ms);
        auto allowed = attempt(*wrapper, std::nullopt);
        CHECK(allowed.called);
        CHECK(allowed.result.isFulfilled());
        CHECK_FALSE(wrapper->lastFailure());
    }
}

TEST_CASE("other HTTP failures back off exponentially with jitter, capped at four hours") {
    Controls c;
    auto wrapper = std::make_shared<AppVouchBackoffWrapper>(c.dates(), c.randoms());
    struct Row {
        std::uint32_t random;
        std::chrono::milliseconds blocked;
    };
    // Count 0: 1 to 1.4995 s; count 1: 2 to 2.999 s; count 4: 16 to 23.992 s.
    const Row rows[] = {{0, 1000ms}, {999, 2999ms}, {0, 4000ms}, {500, 10000ms}, {999, 23992ms}};
    for (const auto& row : rows) {
        CAPTURE(row.blocked.count());
        REQUIRE(attempt(*wrapper, httpError(503)).called);
        c.random = row.random;  // the jitter is drawn each time the pause is checked
        c.advance(row.blocked - 1ms);
        CHECK_FALSE(wrapper->isNextOperationAllowed());
        c.advance(1ms);
        CHECK(wrapper->isNextOperationAllowed());
    }
    CHECK(wrapper->lastFailure()->retryCount == 4);
    CHECK(wrapper->lastFailure()->backoffType == AppVouchBackoffType::exponential);
    AppVouchBackoffOperationFailure late{c.now, httpError(503), AppVouchBackoffType::exponential, 14};
    c.random = 999;
    CHECK(wrapper->exponentialBackoffIntervalForFailure(late) == 14400);
}

TEST_CASE("a failure without an HTTP reply never blocks; a success resets the count") {
    Controls c;
    auto wrapper = std::make_shared<AppVouchBackoffWrapper>(c.dates(), c.randoms());
    auto network = AppVouchErrorUtil::APIErrorWithNetworkError(Error("NSURLErrorDomain", -1004));
    for (int i = 0; i < 3; ++i) CHECK(attempt(*wrapper, network).called);
    CHECK(wrapper->lastFailure()->backoffType == AppVouchBackoffType::none);
    CHECK(wrapper->lastFailure()->retryCount == 2);  // counted, though nothing is blocked
    CHECK(attempt(*wrapper, httpError(302)).called);
    CHECK(wrapper->isNextOperationAllowed());
    CHECK(attempt(*wrapper, std::nullopt).called);
    CHECK_FALSE(wrapper->lastFailure());
    REQUIRE(attempt(*wrapper, httpError(500)).called);
    CHECK(wrapper->lastFailure()->retryCount == 0);
}

namespace {

// Timers that only record where they were asked to fire.
struct FakeTimers {
    struct Timer : AppVouchTimerProtocol {
        void invalidate() override { invalidated = true; }
        std::atomic<bool> invalidated{false};
    };
    std::mutex mutex;
    std::vector<Date> fireDates;
    std::vector<std::shared_ptr<Timer>> timers;
    std::vector<AppVouchTimer::Block> blocks;

    AppVouchTimer::Provider provider() {
        return
            [this](Date fireDate, const Queue&, AppVouchTimer::Block block) -> std::shared_ptr<AppVouchTimerProtocol> {
                std::lock_guard lock(mutex);
                fireDates.push_back(fireDate);
                blocks.push_back(std::move(block));
                timers.push_back(std::make_shared<Timer>());
                return timers.back();
            };
    }
};

std::shared_ptr<AppVouchSettings> autoRefresh(bool on) {
    auto settings = std::make_shared<AppVouchSettings>();
    settings->setIsTokenAutoRefreshEnabled(on);
    return settings;
}

}  // namespace

TEST_CASE("a success plans half the lifetime plus 300 s, never after expiry, never sooner than 60 s") {
    Controls c;
    FakeTimers timers;
    auto refresher =
        std::make_shared<AppVouchTokenRefresher>(AppVouchTokenRefreshResult::initWithStatusNever(), timers.provider(),
                                                 autoRefresh(true), c.dates(), c.randoms());
    const Date t = c.now;
    struct Row {
        Date::duration received;
        Date::duration lifetime;
        Date::duration expected;  // from the received date
    };
    const Row rows[] = {
        {0s, 3600s, 2100s},      // 1800 + 300
        {0s, 400s, 400s},        // 500 would be after expiry
        {-3500s, 3600s, 3560s},  // the plan would lie in the past: 60 s from now
        {0s, -10s, 60s},         // a negative lifetime counts as 0: expiry is now, so 60 s ahead
    };
    for (const auto& row : rows) {
        auto result =
            AppVouchTokenRefreshResult::initWithStatusSuccess(t + row.received + row.lifetime, t + row.received);
        CHECK(refresher->nextRefreshDateWithTokenRefreshResult(result) == t + row.received + row.expected);
    }
    CHECK(refresher->nextRefreshDateWithTokenRefreshResult(AppVouchTokenRefreshResult::initWithStatusNever()) == t);
}

TEST_CASE("failed refreshes back off 30 s doubling, plus jitter, exactly 960 s from the sixth") {
    std::uint32_t random = 1999;  // 999 ms of jitter
    RandomSource source = [&] { return random; };
    const double expected[] = {0, 30.999, 60.999, 120.999, 240.999, 480.999, 960, 960};
    for (std::uint64_t count = 0; count < 8; ++count) {
        CAPTURE(count);
        CHECK(AppVouchTokenRefresher::backoffTimeForRetryCount(count, source) == doctest::Approx(expected[count]));
    }
    CHECK(AppVouchTokenRefresher::backoffTimeForRetryCount(1000, source) == 960);

    Controls c;
    FakeTimers timers;
    auto refresher =
        std::make_shared<AppVouchTokenRefresher>(AppVouchTokenRefreshResult::initWithStatusNever(), timers.provider(),
                                                 autoRefresh(true), c.dates(), c.randoms());
    refresher->updateWithRefreshResult(AppVouchTokenRefreshResult::initWithStatusFailure());
    refresher->updateWithRefreshResult(AppVouchTokenRefreshResult::initWithStatusFailure());
    CHECK(refresher->retryCount() == 2);
    REQUIRE(timers.fireDates.size() == 2);
    CHECK(timers.fireDates[1] == c.now + 60s);
    CHECK(timers.timers[0]->invalidated);  // each new plan replaces the armed timer
    refresher->updateWithRefreshResult(AppVouchTokenRefreshResult::initWithStatusSuccess(c.now + 3600s, c.now));
    CHECK(refresher->retryCount() == 0);
}

TEST_CASE("the refresher calls its handler at once for a never-refreshed start, and only with auto refresh on") {
    Controls c;
    FakeTimers timers;
    auto settings = autoRefresh(false);
    auto refresher = std::make_shared<AppVouchTokenRefresher>(AppVouchTokenRefreshResult::initWithStatusNever(),
                                                              timers.provider(), settings, c.dates(), c.randoms());
    std::atomic<int> calls{0};
    refresher->setTokenRefreshHandler([&](AppVouchTokenRefresher::RefreshCompletion) { ++calls; });
    CHECK(waitForGroup());
    CHECK(calls == 0);
    CHECK(timers.fireDates.empty());

    settings->setIsTokenAutoRefreshEnabled(true);
    auto second = std::make_shared<AppVouchTokenRefresher>(AppVouchTokenRefreshResult::initWithStatusNever(),
                                                           timers.provider(), settings, c.dates(), c.randoms());
    std::atomic<int> started{0};
    AppVouchTokenRefresher::RefreshCompletion finish;
    std::mutex mutex;
    second->setTokenRefreshHandler([&](AppVouchTokenRefresher::RefreshCompletion completion) {
        std::lock_guard lock(mutex);
        finish = std::move(completion);
        ++started;
    });
    REQUIRE(runUntil([&] { return started.load() == 1; }));
    CHECK(timers.fireDates.empty());  // at once, from the refresh queue, without a timer
    {
        std::lock_guard lock(mutex);
        finish(AppVouchTokenRefreshResult::initWithStatusSuccess(c.now + 3600s, c.now));
    }
    REQUIRE(timers.fireDates.size() == 1);
    CHECK(timers.fireDates[0] == c.now + 2100s);
    // The timer's step runs the handler again; with auto refresh turned off it does nothing.
    settings->setIsTokenAutoRefreshEnabled(false);
    timers.blocks[0]();
    CHECK(started == 1);
}

TEST_CASE("a one-shot timer fires once at its date, not at all when invalidated, released or in the past") {
    auto source = std::make_shared<brisko::promises::ManualTimerSource>();
    brisko::promises::ScopedTimerSource scoped(source);
    Controls c;
    auto queue = Queue::main();
    std::atomic<int> fired{0};
    CHECK_FALSE(AppVouchTimer::timerFireDate(
        c.now, queue, [&] { ++fired; }, c.dates()));
    CHECK_FALSE(AppVouchTimer::timerFireDate(c.now + 1s, queue, nullptr, c.dates()));

    auto timer = AppVouchTimer::timerFireDate(
        c.now + 10s, queue, [&] { ++fired; }, c.dates());
    auto cancelled = AppVouchTimer::timerFireDate(
        c.now + 10s, queue, [&] { fired += 100; }, c.dates());
    auto released = AppVouchTimer::timerFireDate(
        c.now + 10s, queue, [&] { fired += 1000; }, c.dates());
    REQUIRE(timer);
    cancelled->invalidate();
    released.reset();
    source->advance(9999ms);
    CHECK(source->pendingCount() == 3);
    source->advance(1ms);
    runUntil([&] { return fired.load() != 0; });
    CHECK(waitForGroup());
    CHECK(fired == 1);
}
