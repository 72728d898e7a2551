// The promise core: settling once, the resolution rule, asynchronous ordered callbacks, chaining,
// the default queue, the pending-work group and the refused arguments.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "tests/attestation/PromiseTestSupport.hpp"

using namespace brisko::promises;
using namespace brisko::promises::testing;
using brisko::platform::ProgrammingException;
using brisko::platform::Value;

TEST_CASE("a promise settles once: later fulfilments and rejections change nothing and call nothing") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto p = Promise<int>::pending();
        std::atomic<int> fulfilled{0}, rejected{0};
        p.observe(
            queue, [&](const int&) { ++fulfilled; }, [&](const Error&) { ++rejected; });
        p.fulfill(1);
        p.fulfill(2);
        p.reject(testError());
        REQUIRE(settles(p));
        drain();
        CHECK(p.isFulfilled());
        CHECK(*p.value() == 1);
        CHECK_FALSE(p.error());
        CHECK(fulfilled == 1);
        CHECK(rejected == 0);

        auto r = Promise<int>::pending();
        r.reject(testError(1));
        r.fulfill(3);
        r.reject(testError(2));
        CHECK(r.isRejected());
        CHECK(r.error()->code() == 1);
        CHECK_FALSE(r.value());
    }
}

TEST_CASE("an error given as a value rejects, and a promise given to fulfil is the value itself") {
    auto dynamic = Promise<Value>::pending();
    dynamic.fulfill(Value(testError(5)));
    CHECK(dynamic.isRejected());
    CHECK(dynamic.error()->code() == 5);
    CHECK(Promise<Value>::resolvedWith(Value(testError(6))).isRejected());
    CHECK(Promise<Value>::resolvedWith(Value()).isFulfilled());
    CHECK(Promise<Value>::resolvedWith(Value()).value()->isNull());

    auto inner = Promise<int>::pending();
    auto outer = Promise<Promise<int>>::pending();
    outer.fulfill(inner);
    CHECK(outer.isFulfilled());  // without waiting for the inner promise
    CHECK(*outer.value() == inner);
    CHECK(inner.isPending());
}

TEST_CASE("a promise returned from a callback is adopted: the chained promise waits for it and copies it") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto later = Promise<std::string>::pending();
        std::atomic<bool> ran{false};
        auto chained = Promise<int>::resolvedWith(1).then(queue, [later, &ran](const int&) {
            ran = true;
            return later;
        });
        runUntil([&] { return ran.load(); });
        CHECK(chained.isPending());
        later.fulfill("done");
        REQUIRE(settles(chained));
        CHECK(*chained.value() == "done");

        auto failing = Promise<int>::pending();
        auto follows = Promise<int>::resolvedWith(1).then(queue, [failing](const int&) { return failing; });
        failing.reject(testError(3));
        REQUIRE(settles(follows));
        CHECK(follows.error()->code() == 3);
    }
}

TEST_CASE("callbacks always run later, on the given queue, even for a settled promise") {
    auto serial = brisko::platform::DispatchQueue::make("test.promises.where");
    auto p = Promise<int>::resolvedWith(4);
    std::atomic<bool> ran{false};
    std::atomic<bool> onQueue{false};
    const auto caller = std::this_thread::get_id();
    p.observe(
        Queue(serial),
        [&](const int& v) {
            // Not inside observe, though the promise was settled: on the queue's own thread.
            onQueue = serial->isCurrent() && v == 4 && std::this_thread::get_id() != caller;
            ran = true;
        },
        [](const Error&) {});
    drain();
    CHECK(ran);
    CHECK(onQueue);

    bool mainRan = false;
    p.observe(
        Queue::main(), [&](const int&) { mainRan = brisko::platform::isMainThread(); }, [](const Error&) {});
    CHECK_FALSE(mainRan);
    runUntil([&] { return mainRan; });
    CHECK(mainRan);
}

TEST_CASE("observers on one serial queue run in registration order, before and after settling") {
    for (const auto& [name, queue] : queueKinds()) {
        if (!queue.isSerial()) continue;
        CAPTURE(name);
        auto p = Promise<int>::pending();
        std::mutex mutex;
        std::vector<int> order;
        for (int i = 0; i < 50; ++i) {
            p.observe(
                queue,
                [&, i](const int&) {
                    std::lock_guard l(mutex);
                    order.push_back(i);
                },
                [](const Error&) {});
        }
        p.fulfill(0);
        for (int i = 50; i < 100; ++i) {
            p.observe(
                queue,
                [&, i](const int&) {
                    std::lock_guard l(mutex);
                    order.push_back(i);
                },
                [](const Error&) {});
        }
        runUntil([&] {
            std::lock_guard l(mutex);
            return order.size() == 100;
        });
        drain();
        std::vector<int> expected(100);
        for (int i = 0; i < 100; ++i) expected[i] = i;
        CHECK(order == expected);
    }
}

TEST_CASE("a callback may settle and observe its own promise without deadlock") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto p = Promise<int>::pending();
        std::atomic<int> inner{0};
        p.observe(
            queue,
            [&, p, queue](const int&) {
                p.fulfill(9);  // ignored, and must not block on the promise's lock
                p.observe(
                    queue, [&](const int& v) { inner = v; }, [](const Error&) {});
            },
            [](const Error&) {});
        p.fulfill(8);
        runUntil([&] { return inner.load() != 0; });
        CHECK(inner == 8);
    }
}

TEST_CASE("chain: absent callbacks copy the outcome, a reject callback's value fulfils, an error result rejects") {
    for (const auto& [name, queue] : queueKinds()) {
        CAPTURE(name);
        auto fulfilled = Promise<int>::resolvedWith(2).chain(queue);
        auto rejected = Promise<int>::resolvedWith(testError(4)).chain(queue);
        auto recovered =
            Promise<int>::resolvedWith(testError(4)).chain<int>(queue, nullptr, [](const Error& e) -> Resolution<int> {
                return int(e.code()) * 10;
            });
        auto failed =
            Promise<int>::resolvedWith(1).chain<int>(queue, [](const int&) -> Resolution<int> { return testError(9); });
        auto thrown = Promise<int>::resolvedWith(1).then(
            queue, [](const int&) -> int { throw brisko::platform::ErrorException(testError(11)); });
        for (auto* p : {&fulfilled, &rejected, &recovered, &failed, &thrown}) REQUIRE(settles(*p));
        CHECK(*fulfilled.value() == 2);
        CHECK(rejected.error()->code() == 4);
        CHECK(*recovered.value() == 40);
        CHECK(failed.error()->code() == 9);
        CHECK(thrown.error()->code() == 11);
    }
}

TEST_CASE("the description names the class, the address and the outcome") {
    auto p = Promise<int>::pending();
    std::string pending = p.description();
    CHECK(pending.rfind("<ZBLPromise 0x", 0) == 0);
    CHECK(pending.ends_with("> Pending"));
    p.fulfill(12);
    CHECK(p.description().ends_with("> Fulfilled: 12"));
    auto r = Promise<std::string>::resolvedWith(testError());
    CHECK(r.description().find("> Rejected: Error Domain=test.domain Code=7") != std::string::npos);
}

TEST_CASE("the default queue starts as the main queue, can be replaced, and is used by the queue-less forms") {
    CHECK(defaultDispatchQueue() == Queue::main());
    auto serial = brisko::platform::DispatchQueue::make("test.promises.default");
    setDefaultDispatchQueue(Queue(serial));
    std::atomic<bool> onSerial{false};
    auto p = Promise<int>::resolvedWith(1).then([&](const int& v) {
        onSerial = serial->isCurrent();
        return v;
    });
    drain();
    setDefaultDispatchQueue(Queue::main());
    CHECK(onSerial);
    CHECK_THROWS_WITH_AS(setDefaultDispatchQueue(Queue()), "Invalid parameter not satisfying: queue",
                         ProgrammingException);
    CHECK(defaultDispatchQueue() == Queue::main());
}

TEST_CASE("the group counts pending promises and callbacks; a destroyed pending promise gives its count back") {
    drain();
    const auto base = dispatchGroup().count();
    CHECK(base == 0);
    {
        auto settled = Promise<int>::resolvedWith(1);
        auto rejected = Promise<int>::resolvedWith(testError());
        CHECK(dispatchGroup().count() == 0);
        auto pending = Promise<int>::pending();
        CHECK(dispatchGroup().count() == 1);
        auto copy = pending;  // handles share one promise
        CHECK(dispatchGroup().count() == 1);
    }
    CHECK(dispatchGroup().count() == 0);
    CHECK(waitForGroup(1));

    auto pending = Promise<int>::pending();
    CHECK_FALSE(waitForGroup(0.05));
    pending.fulfill(1);
    CHECK(waitForGroup(1));
}

TEST_CASE("settling counts each observer's callback in the group until it has run, and nothing more") {
    // The first callback is held until released, so the count can be read while every callback of the
    // promise is still to finish: one per observer, the promise itself no longer counted.
    for (int observers : {0, 1, 3}) {
        CAPTURE(observers);
        drain();
        REQUIRE(dispatchGroup().count() == 0);
        auto queue = Queue::serial("test.promises.group", std::make_shared<ThreadPool>(1));
        std::mutex mutex;
        std::condition_variable cv;
        bool released = false;
        std::atomic<int> ran{0};
        auto p = Promise<int>::pending();
        for (int i = 0; i < observers; ++i) {
            p.observe(
                queue,
                [&, i](const int&) {
                    if (i == 0) {
                        std::unique_lock lock(mutex);
                        cv.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
                    }
                    ++ran;
                },
                [](const Error&) {});
        }
        CHECK(dispatchGroup().count() == 1);
        p.fulfill(1);
        CHECK(dispatchGroup().count() == observers);
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        cv.notify_all();
        CHECK(waitForGroup(10));
        CHECK(ran == observers);
    }
}

TEST_CASE("a settled promise lets its callbacks and pending objects go once they are done with") {
    // Kept promises must not keep what their callbacks captured: the first observer, a further one and
    // one registered after settling.
    auto queue = Queue(brisko::platform::DispatchQueue::make("test.promises.release"));
    auto p = Promise<int>::pending();
    std::vector<std::weak_ptr<int>> captured;
    auto observe = [&] {
        auto object = std::make_shared<int>(0);
        captured.push_back(object);
        p.observe(
            queue, [object](const int&) {}, [object](const Error&) {});
    };
    observe();
    observe();
    auto pendingObject = std::make_shared<int>(1);
    std::weak_ptr<int> pendingWeak = pendingObject;
    p.addPendingObject(std::move(pendingObject));
    p.fulfill(1);
    CHECK(pendingWeak.expired());
    observe();
    drain();
    for (std::size_t i = 0; i < captured.size(); ++i) {
        CAPTURE(i);
        CHECK(captured[i].expired());
    }
    CHECK(p.isFulfilled());
}

TEST_CASE("blocks freed on one thread are reused by another, and an ending thread gives its own back") {
    using Pool = brisko::promises::detail::BlockPool<64>;
    constexpr int kBlocks = 1000;
    std::vector<void*> made;
    for (int i = 0; i < kBlocks; ++i) {
        made.push_back(Pool::allocate());
        std::memset(made.back(), 0xAB, 64);  // the whole block is the caller's
    }
    // Another thread frees them all and ends; what it passed on in batches is there for this one.
    std::thread([&] {
        for (void* block : made) Pool::deallocate(block);
    }).join();
    std::set<void*> freed(made.begin(), made.end());
    std::vector<void*> again;
    int reused = 0;
    for (int i = 0; i < kBlocks; ++i) {
        again.push_back(Pool::allocate());
        reused += freed.count(again.back()) ? 1 : 0;
    }
    CHECK(reused > 0);
    CHECK(std::set<void*>(again.begin(), again.end()).size() == again.size());  // no block handed out twice
    for (void* block : again) Pool::deallocate(block);
}

TEST_CASE("pending objects live until the promise settles") {
    auto p = Promise<int>::pending();
    auto object = std::make_shared<int>(5);
    std::weak_ptr<int> weak = object;
    p.addPendingObject(object);
    object.reset();
    CHECK_FALSE(weak.expired());
    p.fulfill(1);
    CHECK(weak.expired());
    p.addPendingObject(std::make_shared<int>(1));  // ignored once settled
    CHECK_THROWS_WITH_AS(p.addPendingObject(nullptr), "Invalid parameter not satisfying: object", ProgrammingException);
}

TEST_CASE("missing arguments are refused with the parameter's name") {
    auto p = Promise<int>::resolvedWith(1);
    std::function<void(const int&)> noFulfill;
    std::function<void(const Error&)> noReject;
    std::function<int(const int&)> noWork;
    auto ok = [](const auto&) {};
    CHECK_THROWS_WITH_AS(p.observe(Queue(), ok, ok), "Invalid parameter not satisfying: queue", ProgrammingException);
    CHECK_THROWS_WITH_AS(p.observe(Queue::main(), noFulfill, ok), "Invalid parameter not satisfying: onFulfill",
                         ProgrammingException);
    CHECK_THROWS_WITH_AS(p.observe(Queue::main(), ok, noReject), "Invalid parameter not satisfying: onReject",
                         ProgrammingException);
    CHECK_THROWS_WITH_AS(p.chain(Queue()), "Invalid parameter not satisfying: queue", ProgrammingException);
    CHECK_THROWS_WITH_AS(p.then(Queue::main(), noWork), "Invalid parameter not satisfying: work", ProgrammingException);
    CHECK_THROWS_WITH_AS(p.catch_(Queue::main(), noReject), "Invalid parameter not satisfying: reject",
                         ProgrammingException);
    CHECK_THROWS_WITH_AS(p.recover(Queue::main(), std::function<int(const Error&)>()),
                         "Invalid parameter not satisfying: recovery", ProgrammingException);
    CHECK_THROWS_WITH_AS(p.validate(Queue::main(), std::function<bool(const int&)>()),
                         "Invalid parameter not satisfying: predicate", ProgrammingException);
    CHECK_THROWS_WITH_AS(p.reduce(Queue::main(), std::vector<int>{1}, std::function<int(const int&, const int&)>()),
                         "Invalid parameter not satisfying: reducer", ProgrammingException);
    CHECK_THROWS_WITH_AS(Promise<int>::race(Queue::main(), {}), "No promises to observe", ProgrammingException);
    CHECK_THROWS_WITH_AS(Promise<int>::all(Queue(), {}), "Invalid parameter not satisfying: queue",
                         ProgrammingException);
    drain();
}
