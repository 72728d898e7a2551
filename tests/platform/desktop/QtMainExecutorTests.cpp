// The Qt main-thread executor: coroutines spawned on it run on Qt's thread, and come back to it after
// awaiting work elsewhere; installed as the main queue's executor, main-queue work runs there too.
#include <doctest/doctest.h>

#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <QCoreApplication>
#include <QThread>

#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/desktop/QtMainExecutor.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;

TEST_CASE("a coroutine spawned on the Qt main executor runs on Qt's thread before and after awaiting") {
    ensureQtApp();
    asio::thread_pool pool(1);
    QThread* qtThread = QCoreApplication::instance()->thread();
    bool startedOnQt = false, awaitedElsewhere = false, resumedOnQt = false, done = false;

    asio::co_spawn(
        QtMainExecutor{},
        [&]() -> asio::awaitable<void> {
            startedOnQt = QThread::currentThread() == qtThread;
            // A completion that arrives on a pool thread resumes the coroutine on Qt's thread.
            int answer = co_await withContinuation<int>([&](Continuation<int> c) {
                asio::post(pool, [&, c]() mutable {
                    awaitedElsewhere = QThread::currentThread() != qtThread;
                    c.resume(42);
                });
            });
            CHECK(answer == 42);
            resumedOnQt = QThread::currentThread() == qtThread;
            done = true;
        },
        asio::detached);
    CHECK_FALSE(done);  // nothing runs before the event loop does
    REQUIRE(processEventsUntil([&] { return done; }));
    CHECK(startedOnQt);
    CHECK(awaitedElsewhere);
    CHECK(resumedOnQt);
    pool.join();
}

TEST_CASE("installed as the main loop's executor, main-queue work runs on Qt's thread") {
    ensureQtApp();
    MainLoop::installExecutor(QtMainExecutor{});
    QThread* qtThread = QCoreApplication::instance()->thread();
    bool ranOnQt = false;
    std::thread([&] {
        DispatchQueue::main()->async([&] { ranOnQt = QThread::currentThread() == qtThread; });
    }).join();
    REQUIRE(processEventsUntil([&] { return ranOnQt; }));
}
