// The promise operators: all, any, race, retry, delay, timeout, validate, reduce, always, catch,
// recover, then, the wrap family, async and do, and await (also from a busy pool thread).
#include <atomic>
#include <limits>
#include <string>
#include <thread>

#include "tests/attestation/PromiseTestSupport.hpp"

using namespace brisko::promises;
using namespace brisko::promises::testing;
using namespace std::chrono_literals;

TEST_CASE("all: values in input order, plain values in place, an error element rejects at once") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto empty = Promise<int>::all(queue, {});
        CHECK(empty.isFulfilled());
        CHECK(empty.value()->empty());

        auto a = Promise<int>::pending();
        auto b = Promise<int>::pending();
        auto values = Promise<int>::all(queue, {a, 5, b});
        b.fulfill(2);
        a.fulfill(1);
        REQUIRE(settles(values));
        CHECK(*values.value() == std::vector<int>{1, 5, 2});

        auto never = Promise<int>::pending();
        auto withError = Promise<int>::all(queue, {never, testError(3), 4});
        REQUIRE(settles(withError));  // without waiting for the pending promise
        CHECK(withError.error()->code() == 3);

        auto c = Promise<int>::pending();
        auto d = Promise<int>::pending();
        auto first = Promise<int>::all(queue, {c, d});
        d.reject(testError(1));
        REQUIRE(settles(first));
        c.reject(testError(2));
        CHECK(first.error()->code() == 1);
        never.fulfill(0);
    }
}

TEST_CASE("all: of several error elements the first in input order rejects, and settled inputs are gathered") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto pending = Promise<int>::pending();
        auto twoErrors = Promise<int>::all(queue, {pending, testError(5), 1, testError(6)});
        REQUIRE(settles(twoErrors));
        CHECK(twoErrors.error()->code() == 5);
        pending.fulfill(0);

        auto settled = Promise<int>::resolvedWith(7);
        auto later = Promise<int>::pending();
        auto mixed = Promise<int>::all(queue, {settled, later, 9});
        later.fulfill(8);
        REQUIRE(settles(mixed));
        CHECK(*mixed.value() == std::vector<int>{7, 8, 9});
    }
}

TEST_CASE("all of promises of different types gives a tuple, and the first rejection decides") {
    auto data = Promise<std::string>::pending();
    auto number = Promise<int>::pending();
    auto both = all(Queue::main(), data, number);
    number.fulfill(3);
    data.fulfill("x");
    REQUIRE(settles(both));
    CHECK(*both.value() == std::tuple<std::string, int>("x", 3));

    auto failing = all(Queue::main(), Promise<int>::pending(), Promise<int>::resolvedWith(testError(8)));
    REQUIRE(settles(failing));
    CHECK(failing.error()->code() == 8);
}

TEST_CASE("any: once nothing is pending, values and errors in input order; all rejected gives the last error") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        CHECK(Promise<int>::any(queue, {}).value()->empty());

        auto a = Promise<int>::pending();
        auto b = Promise<int>::pending();
        auto c = Promise<int>::pending();
        auto mixed = Promise<int>::any(queue, {a, b, c});
        a.reject(testError(1));
        c.fulfill(3);
        b.reject(testError(2));
        REQUIRE(settles(mixed));
        auto list = *mixed.value();
        REQUIRE(list.size() == 3);
        CHECK(std::get<1>(list[0]).code() == 1);
        CHECK(std::get<1>(list[1]).code() == 2);
        CHECK(std::get<0>(list[2]) == 3);

        auto x = Promise<int>::pending();
        auto y = Promise<int>::pending();
        auto rejected = Promise<int>::any(queue, {x, y, testError(5)});
        x.reject(testError(4));
        CHECK(rejected.isPending());  // y is still pending
        y.reject(testError(6));
        REQUIRE(settles(rejected));
        CHECK(rejected.isRejected());
        const auto code = rejected.error()->code();
        CHECK((code == 4 || code == 5 || code == 6));
        if (queue.isSerial()) {
            // Settled inputs are handled in input order on a serial queue: the last one decides.
            auto last = Promise<int>::any(queue, {testError(1), Promise<int>::resolvedWith(testError(2))});
            REQUIRE(settles(last));
            CHECK(last.error()->code() == 2);
        }
    }
}

TEST_CASE("all and any gather inputs settled at once from several threads, in input order") {
    // Many inputs settled from four threads while their observers run on a concurrent queue: every
    // outcome lands in its own place and exactly one of them settles the result.
    constexpr int kInputs = 200;
    constexpr int kThreads = 4;
    auto queue = Queue::concurrent("test.promises.gather", std::make_shared<ThreadPool>(4));
    struct Case {
        const char* name;
        bool rejectOdd;  // any only: odd inputs reject
    };
    for (const Case& c : {Case{"all", false}, Case{"any", false}, Case{"any with errors", true}}) {
        CAPTURE(c.name);
        std::vector<Promise<int>> inputs;
        std::vector<Resolution<int>> items;
        for (int i = 0; i < kInputs; ++i) {
            inputs.push_back(Promise<int>::pending());
            items.emplace_back(inputs.back());
        }
        const bool isAll = std::string(c.name) == "all";
        auto allResult = isAll ? Promise<int>::all(queue, items) : Promise<std::vector<int>>();
        auto anyResult = isAll ? Promise<std::vector<Promise<int>::Outcome>>() : Promise<int>::any(queue, items);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < kInputs; i += kThreads) {
                    if (c.rejectOdd && i % 2 == 1) {
                        inputs[i].reject(testError(i));
                    } else {
                        inputs[i].fulfill(i * 10);
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        if (isAll) {
            REQUIRE(settles(allResult));
            REQUIRE(allResult.isFulfilled());
            const auto values = *allResult.value();
            REQUIRE(values.size() == kInputs);
            for (int i = 0; i < kInputs; ++i) CHECK(values[i] == i * 10);
        } else {
            REQUIRE(settles(anyResult));
            REQUIRE(anyResult.isFulfilled());
            const auto list = *anyResult.value();
            REQUIRE(list.size() == kInputs);
            for (int i = 0; i < kInputs; ++i) {
                CAPTURE(i);
                if (c.rejectOdd && i % 2 == 1) {
                    REQUIRE(list[i].index() == 1);
                    CHECK(std::get<1>(list[i]).code() == i);
                } else {
                    REQUIRE(list[i].index() == 0);
                    CHECK(std::get<0>(list[i]) == i * 10);
                }
            }
        }
        drain();
    }
}

TEST_CASE("race: a plain value anywhere decides at once, else the first promise to settle") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto never = Promise<int>::pending();
        auto plain = Promise<int>::race(queue, {never, 7, 8});
        REQUIRE(settles(plain));
        CHECK(*plain.value() == 7);

        auto error = Promise<int>::race(queue, {never, testError(2), 8});
        REQUIRE(settles(error));
        CHECK(error.error()->code() == 2);

        auto slow = Promise<int>::pending();
        auto fast = Promise<int>::pending();
        auto winner = Promise<int>::race(queue, {slow, fast});
        fast.reject(testError(9));
        REQUIRE(settles(winner));
        slow.fulfill(1);
        CHECK(winner.error()->code() == 9);
        never.fulfill(0);
    }
}

TEST_CASE("retry: the first attempt runs on the calling thread, later ones after the delay, within the count") {
    auto timers = std::make_shared<ManualTimerSource>();
    ScopedTimerSource scoped(timers);
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        std::atomic<int> runs{0};
        const auto caller = std::this_thread::get_id();
        std::atomic<bool> firstOnCaller{false};
        auto failing = Promise<int>::retry(queue, [&]() -> Resolution<int> {
            if (runs == 0) firstOnCaller = std::this_thread::get_id() == caller;
            return testError(++runs);
        });
        CHECK(runs == 1);
        CHECK(firstOnCaller);
        runUntil([&] { return timers->pendingCount() == 1; });
        REQUIRE(timers->pendingCount() == 1);
        CHECK(timers->pendingDueTimes()[0] - timers->elapsed() == 1s);  // one second apart
        timers->advance(999ms);
        CHECK(timers->pendingCount() == 1);
        CHECK(runs == 1);
        timers->advance(1ms);
        REQUIRE(settles(failing));
        CHECK(runs == 2);
        CHECK(failing.error()->code() == 2);  // the second error
        CHECK(timers->pendingCount() == 0);

        std::vector<std::int64_t> seen;
        int calls = 0;
        auto counted = Promise<int>::retry(
            queue, 3, 0.5,
            [&](std::int64_t remaining, const Error&) {
                seen.push_back(remaining);
                return true;
            },
            [&]() -> Resolution<int> { return ++calls < 4 ? Resolution<int>(testError()) : 42; });
        for (int i = 0; i < 3; ++i) {
            runUntil([&] { return timers->pendingCount() == 1; });
            timers->advance(500ms);
        }
        REQUIRE(settles(counted));
        CHECK(*counted.value() == 42);
        CHECK(seen == std::vector<std::int64_t>{3, 2, 1});

        int once = 0;
        auto refused = Promise<int>::retry(
            queue, 5, 1.0, [](std::int64_t, const Error&) { return false; },
            [&]() -> Resolution<int> {
                ++once;
                return testError();
            });
        REQUIRE(settles(refused));
        CHECK(once == 1);

        int zero = 0;
        auto noRetry = Promise<int>::retry(queue, 0, [&]() -> Resolution<int> {
            ++zero;
            return testError(4);
        });
        REQUIRE(settles(noRetry));
        CHECK(zero == 1);
        CHECK(noRetry.error()->code() == 4);

        // Work that answers with a promise is followed.
        auto later = Promise<int>::pending();
        auto followed = Promise<int>::retry(queue, [later]() -> Resolution<int> { return later; });
        later.fulfill(5);
        REQUIRE(settles(followed));
        CHECK(*followed.value() == 5);
    }
}

TEST_CASE("delay holds a fulfilment for the interval and passes a rejection at once") {
    auto timers = std::make_shared<ManualTimerSource>();
    ScopedTimerSource scoped(timers);
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto delayed = Promise<int>::resolvedWith(3).delay(queue, 2.0);
        runUntil([&] { return timers->pendingCount() == 1; });
        timers->advance(1999ms);
        CHECK(timers->pendingCount() == 1);
        CHECK(delayed.isPending());
        timers->advance(1ms);
        REQUIRE(settles(delayed));
        CHECK(*delayed.value() == 3);

        auto rejected = Promise<int>::resolvedWith(testError()).delay(queue, 2.0);
        REQUIRE(settles(rejected));
        CHECK(timers->pendingCount() == 0);
    }
}

TEST_CASE("timeout rejects with code 1 when the interval passes first; the late outcome has no effect") {
    auto timers = std::make_shared<ManualTimerSource>();
    ScopedTimerSource scoped(timers);
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto slow = Promise<int>::pending();
        auto timed = slow.timeout(queue, 0.5);
        timers->advance(500ms);
        REQUIRE(settles(timed));
        CHECK(timed.error()->domain() == "com.ezevar.ZBLPromises.Error");
        CHECK(timed.error()->code() == 1);
        CHECK(timed.error()->userInfo().empty());
        slow.fulfill(1);
        drain();
        CHECK(timed.isRejected());

        auto quick = Promise<int>::pending();
        auto beaten = quick.timeout(queue, 0.5);
        quick.fulfill(2);
        REQUIRE(settles(beaten));
        timers->advance(500ms);
        drain();
        CHECK(*beaten.value() == 2);

        // The target gone before the timer fires: the timer finds nothing and does nothing.
        std::weak_ptr<detail::State<int>> weak;
        {
            auto target = Promise<int>::pending();
            auto result = target.timeout(queue, 0.5);
            weak = result.state();
        }
        CHECK(weak.expired());
        timers->advance(500ms);
        drain();
    }
}

TEST_CASE("delay, timeout and retry wait at once for a NaN or negative interval and at most a century for a huge one") {
    const auto queue = Queue(brisko::platform::DispatchQueue::make("test.promises.intervals"));
    constexpr Duration kCentury = std::chrono::hours(24 * 365 * 100);
    struct Case {
        double interval;
        Duration wait;
    };
    const Case cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), Duration::zero()},
        {-5.0, Duration::zero()},
        {0.25, 250ms},
        {1e9, std::chrono::seconds(1'000'000'000)},
        {1e10, kCentury},
        {1e300, kCentury},
        {std::numeric_limits<double>::infinity(), kCentury},
    };
    for (const auto& c : cases) {
        CAPTURE(c.interval);
        auto timers = std::make_shared<ManualTimerSource>();
        ScopedTimerSource scoped(timers);
        auto delayed = Promise<int>::resolvedWith(1).delay(queue, c.interval);
        auto timed = Promise<int>::pending().timeout(queue, c.interval);
        auto retried =
            Promise<int>::retry(queue, 1, c.interval, nullptr, []() -> Resolution<int> { return testError(); });
        REQUIRE(runUntil([&] { return timers->pendingCount() == 3; }));
        for (const auto due : timers->pendingDueTimes()) CHECK(due - timers->elapsed() == c.wait);
        // An interval that waits not at all settles as soon as the timers are looked at.
        if (c.wait == Duration::zero()) {
            timers->advance(Duration::zero());
            REQUIRE(settles(delayed));
            REQUIRE(settles(timed));
            REQUIRE(settles(retried));
            CHECK(timed.error()->code() == 1);
        }
        timers->advance(kCentury);
        REQUIRE(settles(delayed));
        REQUIRE(settles(timed));
        REQUIRE(settles(retried));
    }
    CHECK(waitForGroup(std::numeric_limits<double>::infinity()));
}

TEST_CASE("then, catch, recover, always and validate on every kind of queue") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto doubled = Promise<int>::resolvedWith(4).then(queue, [](const int& v) { return std::to_string(v * 2); });
        auto passed = Promise<int>::resolvedWith(testError(3)).then(queue, [](const int& v) { return v; });
        std::atomic<int> caught{0};
        auto afterCatch =
            Promise<int>::resolvedWith(testError(5)).catch_(queue, [&](const Error& e) { caught = int(e.code()); });
        auto recovered = Promise<int>::resolvedWith(testError(5)).recover(queue, [](const Error&) { return 10; });
        auto recoveredByPromise = Promise<int>::resolvedWith(testError(5)).recover(queue, [](const Error&) {
            return Promise<int>::resolvedWith(11);
        });
        std::atomic<int> always{0};
        auto keptValue = Promise<int>::resolvedWith(1).always(queue, [&] { ++always; });
        auto keptError = Promise<int>::resolvedWith(testError(2)).always(queue, [&] { ++always; });
        auto valid = Promise<int>::resolvedWith(6).validate(queue, [](const int& v) { return v > 5; });
        auto invalid = Promise<int>::resolvedWith(4).validate(queue, [](const int& v) { return v > 5; });
        drain();
        for (auto* p :
             {&passed, &afterCatch, &recovered, &recoveredByPromise, &keptValue, &keptError, &valid, &invalid}) {
            REQUIRE(settles(*p));
        }
        REQUIRE(settles(doubled));
        CHECK(*doubled.value() == "8");
        CHECK(passed.error()->code() == 3);
        CHECK(caught == 5);
        CHECK(afterCatch.error()->code() == 5);
        CHECK(*recovered.value() == 10);
        CHECK(*recoveredByPromise.value() == 11);
        CHECK(always == 2);
        CHECK(*keptValue.value() == 1);
        CHECK(keptError.error()->code() == 2);
        CHECK(*valid.value() == 6);
        CHECK(invalid.error()->domain() == "com.ezevar.ZBLPromises.Error");
        CHECK(invalid.error()->code() == 2);
    }
}

TEST_CASE("reduce folds in order, returns the receiver for no items and stops at a rejection") {
    auto start = Promise<std::string>::resolvedWith("a");
    CHECK(start.reduce(Queue::main(), std::vector<int>{}, [](const std::string& s, const int&) { return s; }) == start);

    auto folded = start.reduce(Queue::main(), std::vector<int>{1, 2, 3},
                               [](const std::string& s, const int& i) { return s + std::to_string(i); });
    REQUIRE(settles(folded));
    CHECK(*folded.value() == "a123");

    int calls = 0;
    auto stopped = start.reduce(Queue::main(), std::vector<int>{1, 2, 3},
                                [&](const std::string& s, const int& i) -> Resolution<std::string> {
                                    ++calls;
                                    if (i == 2) return testError(2);
                                    return s + std::to_string(i);
                                });
    REQUIRE(settles(stopped));
    CHECK(stopped.error()->code() == 2);
    CHECK(calls == 2);
}

TEST_CASE("async and do settle from their work on the queue; only the first settling call counts") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto twice = Promise<int>::async(queue, [](auto fulfill, auto reject) {
            fulfill(1);
            reject(testError());
            fulfill(2);
        });
        auto adopted = Promise<int>::async(queue, [](auto fulfill, auto) { fulfill(Promise<int>::resolvedWith(3)); });
        auto rejected = Promise<int>::async(queue, [](auto, auto reject) { reject(testError(4)); });
        auto done = Promise<int>::do_(queue, [] { return 5; });
        auto doError = Promise<int>::do_(queue, []() -> Resolution<int> { return testError(6); });
        for (auto* p : {&twice, &adopted, &rejected, &done, &doError}) REQUIRE(settles(*p));
        CHECK(*twice.value() == 1);
        CHECK(*adopted.value() == 3);
        CHECK(rejected.error()->code() == 4);
        CHECK(*done.value() == 5);
        CHECK(doError.error()->code() == 6);
    }
}

TEST_CASE("the wrap family turns completion handlers into promises, settled once by the first call") {
    auto q = Queue::main();
    auto pair = wrap2ObjectsOrErrorCompletion<std::string, int>(
        q, [](auto handler) { handler(std::nullopt, 5, std::nullopt); });
    auto twice = wrapObjectOrErrorCompletion<int>(q, [](auto handler) {
        handler(1, std::nullopt);
        handler(2, testError());
    });
    auto objectError = wrapObjectOrErrorCompletion<int>(q, [](auto handler) { handler(0, testError(3)); });
    auto errorObject = wrapErrorOrObjectCompletion<int>(q, [](auto handler) { handler(std::nullopt, 4); });
    auto plain = wrapCompletion(q, [](auto handler) { handler(); });
    auto errorOnly = wrapErrorCompletion(q, [](auto handler) { handler(testError(5)); });
    auto noError = wrapErrorCompletion(q, [](auto handler) { handler(std::nullopt); });
    auto boolean = wrapBoolCompletion(q, [](auto handler) { handler(true); });
    auto boolError = wrapBoolOrErrorCompletion(q, [](auto handler) { handler(false, testError(6)); });
    auto integer = wrapIntegerOrErrorCompletion(q, [](auto handler) { handler(-7, std::nullopt); });
    auto real = wrapDoubleCompletion(q, [](auto handler) { handler(1.5); });
    auto object = wrapObjectCompletion<std::string>(q, [](auto handler) { handler(std::string("o")); });
    drain();
    CHECK_FALSE(pair.value()->first.has_value());
    CHECK(pair.value()->second == 5);
    CHECK(*twice.value() == 1);
    CHECK(objectError.error()->code() == 3);
    CHECK(*errorObject.value() == 4);
    CHECK(plain.isFulfilled());
    CHECK(errorOnly.error()->code() == 5);
    CHECK(noError.isFulfilled());
    CHECK(*boolean.value());
    CHECK(boolError.error()->code() == 6);
    CHECK(*integer.value() == -7);
    CHECK(*real.value() == 1.5);
    CHECK(*object.value() == "o");
}

TEST_CASE("await returns the value, or nothing with the error") {
    auto fulfilled = Promise<int>::pending();
    std::thread settler([fulfilled] { fulfilled.fulfill(3); });
    CHECK(*await(fulfilled) == 3);
    settler.join();

    std::optional<Error> error;
    CHECK_FALSE(await(Promise<int>::resolvedWith(testError(2)), &error));
    REQUIRE(error);
    CHECK(error->code() == 2);
    error.reset();
    CHECK(*await(Promise<int>::resolvedWith(1), &error) == 1);
    CHECK_FALSE(error);
}

TEST_CASE("await on every thread of a one- or two-thread pool does not starve what wakes it") {
    for (std::size_t threads : {1u, 2u}) {
        CAPTURE(threads);
        auto pool = std::make_shared<ThreadPool>(threads);
        auto work = Queue::concurrent("test.await.pool", pool);
        // The work the awaits wait for runs on a serial queue of the same pool, after a pause, so every
        // pool thread is already blocked in an await when it is submitted.
        auto source = Promise<int>::pending();
        std::atomic<int> woken{0};
        for (std::size_t i = 0; i < threads; ++i) {
            work.async([source, &woken] {
                if (auto v = await(source.then(Queue::global(), [](const int& x) { return x + 1; }))) woken += *v;
            });
        }
        std::thread later([source] {
            std::this_thread::sleep_for(20ms);  // lets the pool threads block first; not a wait for a result
            source.fulfill(1);
        });
        runUntil([&] { return woken.load() == int(threads) * 2; });
        later.join();
        CHECK(woken == int(threads) * 2);
    }

    // From a serial queue of the shared pool, awaiting work of the main queue.
    auto serial = brisko::platform::DispatchQueue::make("test.await.serial");
    std::atomic<int> got{0};
    serial->async([&] {
        auto onMain = Promise<int>::do_(Queue::main(), [] { return 9; });
        got = await(onMain).value_or(-1);
    });
    runUntil([&] { return got.load() != 0; });
    CHECK(got == 9);
}

TEST_CASE("the group wait returns once a pending promise is gone and the callbacks ran") {
    std::atomic<int> ran{0};
    {
        auto forgotten = Promise<int>::pending();
        forgotten.then(Queue::main(), [&](const int& v) {
            ++ran;
            return v;
        });
        CHECK_FALSE(waitForGroup(0.02));
    }
    CHECK(waitForGroup(1));
    Promise<int>::do_(Queue::main(), [&] {
        ++ran;
        return 1;
    });
    CHECK(waitForGroup(1));  // runs the main queue meanwhile
    CHECK(ran == 1);
}

TEST_CASE("a pool whose last owner lets go from one of its own threads ends without waiting for itself") {
    std::atomic<bool> done{false};
    {
        auto pool = std::make_shared<ThreadPool>(1);
        auto queue = Queue::serial("test.pool.self", pool);
        pool.reset();
        // The queue (and with it the pool) is released by the work itself, on the pool's thread.
        auto holder = std::make_shared<std::optional<Queue>>(queue);
        queue.async([holder, &done] {
            holder->reset();
            done = true;
        });
        holder.reset();
    }
    CHECK(runUntil([&] { return done.load(); }));
}
