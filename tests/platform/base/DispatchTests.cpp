// Serial queues, the main loop, groups and timers.
#include <doctest/doctest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <vector>

#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"

using namespace brisko::platform;
using namespace std::chrono_literals;

TEST_CASE("a serial queue runs its work one at a time, in order") {
    auto q = DispatchQueue::make("com.brisko.test.serial");
    std::vector<int> seen;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 200; ++i) {
        q->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    q->sync([] {});
    CHECK_FALSE(overlapped);
    REQUIRE(seen.size() == 200);
    for (int i = 0; i < 200; ++i) CHECK(seen[i] == i);
}

TEST_CASE("sync returns the result and passes exceptions; the queue knows it is current") {
    auto q = DispatchQueue::make("com.brisko.test.sync");
    CHECK(q->syncResult([&] { return q->isCurrent(); }));
    CHECK_FALSE(q->isCurrent());
    CHECK(q->syncResult([] { return DispatchQueue::current()->label(); }) == "com.brisko.test.sync");
    CHECK_THROWS_AS(q->sync([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST_CASE("queues sharing one thread: sync between them runs in place, strands of the pool stay apart") {
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    auto a = DispatchQueue::on("com.brisko.test.a", io.get_executor());
    auto b = DispatchQueue::on("com.brisko.test.b", io.get_executor());
    // From a's work, b's work cannot run on the one thread until a's returns: it runs in place, as b.
    std::string seen = a->syncResult([&] {
        return b->syncResult([&] { return DispatchQueue::current()->label() + (a->isCurrent() ? " a" : ""); });
    });
    CHECK(seen == "com.brisko.test.b");
    // Two queues on the pool are two strands: the inner work runs on its own queue, elsewhere.
    auto p = DispatchQueue::make("com.brisko.test.p"), r = DispatchQueue::make("com.brisko.test.r");
    auto [innerThread, outerThread] = p->syncResult([&] {
        return std::make_pair(r->syncResult([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
    });
    CHECK(innerThread != outerThread);
    guard.reset();
    runner.join();
}

TEST_CASE("main-queue work waits for the main loop and runs on the main thread") {
    bool ran = false, onMain = false;
    std::thread([&] {
        DispatchQueue::main()->async([&] {
            ran = true;
            onMain = isMainThread() && DispatchQueue::main()->isCurrent();
        });
    }).join();
    CHECK_FALSE(ran);
    CHECK(MainLoop::runUntil([&] { return ran; }, 5s));
    CHECK(onMain);
}

TEST_CASE("after delays work and groups notify when empty") {
    auto q = DispatchQueue::make("com.brisko.test.after");
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration waited{};
    q->after(30ms, [&] {
        waited = std::chrono::steady_clock::now() - start;
        done = true;
    });
    CHECK(MainLoop::runUntil([&] { return done.load(); }, 5s));
    CHECK(waited >= 30ms);

    DispatchGroup g;
    std::atomic<int> count{0};
    bool notified = false;
    for (int i = 0; i < 5; ++i) {
        g.enter();
        q->async([&] {
            ++count;
            g.leave();
        });
    }
    g.notify(DispatchQueue::main(), [&] { notified = (count == 5); });
    CHECK(g.wait(5s));
    CHECK(MainLoop::runUntil([&] { return notified; }, 5s));
}

TEST_CASE("a repeating timer fires each interval on its queue until invalidated") {
    auto q = DispatchQueue::make("com.brisko.test.timer");
    std::atomic<int> fires{0};
    std::atomic<bool> onQueue{true};
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration first{};
    auto t = Timer::scheduled(q, 20ms, true, [&] {
        if (fires == 0) first = std::chrono::steady_clock::now() - start;
        if (!q->isCurrent()) onQueue = false;
        ++fires;
    });
    CHECK(MainLoop::runUntil([&] { return fires >= 3; }, 5s));
    t->invalidate();
    CHECK_FALSE(t->isValid());
    q->sync([] {});
    int after = fires;
    MainLoop::runFor(60ms);
    q->sync([] {});
    CHECK(fires == after);
    CHECK(first >= 20ms);
    CHECK(onQueue);
}

TEST_CASE("a one-shot timer fires once and fire() runs the action at once") {
    auto q = DispatchQueue::make("com.brisko.test.once");
    std::atomic<int> fires{0};
    auto t = Timer::scheduled(q, 10ms, false, [&] { ++fires; });
    CHECK(MainLoop::runUntil([&] { return fires == 1; }, 5s));
    MainLoop::runFor(40ms);
    CHECK(fires == 1);
    CHECK_FALSE(t->isValid());

    auto manual = Timer::scheduled(q, std::chrono::hours(1), true, [&] { ++fires; });
    manual->fire();
    CHECK(fires == 2);
    CHECK(manual->isValid());
    manual->invalidate();
}
