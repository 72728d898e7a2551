// Coroutines: the continuation bridge, shared tasks and actors.
#include <doctest/doctest.h>

#include <atomic>
#include <thread>

#include "platform/base/Async.hpp"

using namespace brisko::platform;
using namespace std::chrono_literals;

namespace {
// A completion-callback API that calls back twice from another thread.
void flakyCallback(std::function<void(int)> cb) {
    std::thread([cb] {
        cb(1);
        cb(2);
    }).detach();
}
}  // namespace

TEST_CASE("a continuation resumes exactly once, on the coroutine's executor") {
    int result = runOnMainLoop<int>([]() -> Task<int> {
        int v = co_await withContinuation<int>(
            [](Continuation<int> c) { flakyCallback([c](int x) mutable { c.resume(x); }); });
        CHECK(isMainThread());
        co_return v;
    }());
    CHECK(result == 1);
}

TEST_CASE("a continuation can throw an error into the coroutine") {
    auto task = []() -> Task<void> {
        co_await withContinuation<void>([](Continuation<void> c) { c.resumeThrowing(Error("D", 5)); });
    };
    try {
        runOnMainLoop(task());
        FAIL("expected a throw");
    } catch (const ErrorException& e) {
        CHECK(e.error().code() == 5);
    }
}

TEST_CASE("a shared task runs once for all of its waiters") {
    std::atomic<int> runs{0};
    auto q = DispatchQueue::make("com.brisko.test.shared");
    auto shared = SharedTask<int>::make(q, [&]() -> Task<int> {
        ++runs;
        co_await withContinuation<void>(
            [](Continuation<void> c) { DispatchQueue::make("later")->after(20ms, [c]() mutable { c.resume(); }); });
        co_return 7;
    });
    // The shared task is a parameter, not a capture: a coroutine lambda's captures die with the lambda.
    int total = runOnMainLoop<int>([](std::shared_ptr<SharedTask<int>> shared) -> Task<int> {
        int a = 0;
        std::atomic<int> done{0};
        auto waiter = [&]() -> Task<void> {
            a += co_await shared->value();
            ++done;
        };
        asio::co_spawn(DispatchQueue::main()->executor(), waiter(), asio::detached);
        asio::co_spawn(DispatchQueue::main()->executor(), waiter(), asio::detached);
        int own = co_await shared->value();
        while (done < 2)
            co_await withContinuation<void>(
                [](Continuation<void> c) { DispatchQueue::main()->async([c]() mutable { c.resume(); }); });
        co_return a + own;
    }(shared));
    CHECK(total == 21);
    CHECK(runs == 1);
    CHECK(shared->finished());
}

TEST_CASE("an actor runs its isolated bodies on its own queue, one at a time") {
    Actor actor("com.brisko.test.actor");
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<int> finished{0};
    // A named lambda outlives the coroutines it starts; a temporary's captures would not.
    auto client = [&]() -> Task<void> {
        co_await actor.isolated([&]() -> Task<void> {
            if (!actor.queue()->isCurrent()) overlap = true;
            if (inside.fetch_add(1) != 0) overlap = true;
            std::this_thread::sleep_for(1ms);
            inside.fetch_sub(1);
            co_return;
        });
        CHECK(isMainThread());
        ++finished;
    };
    for (int i = 0; i < 20; ++i) spawnDetached(DispatchQueue::main(), client());
    CHECK(MainLoop::runUntil([&] { return finished == 20; }, 10s));
    CHECK_FALSE(overlap);
}

TEST_CASE("results without a default value pass through the main-loop runner, continuations, shared tasks and actors") {
    // Like a decoded ID-token result: it exists only with its contents.
    struct Token {
        explicit Token(std::string t) : text(std::move(t)) {}
        std::string text;
    };
    static_assert(!std::is_default_constructible_v<Token>);
    const auto failure = Error("test.domain", 5);
    auto fulfilled = [](std::string text) -> Task<Token> { co_return Token(std::move(text)); };
    auto failing = [](Error error) -> Task<Token> {
        throw ErrorException(error);
        co_return Token("never");
    };

    CHECK(runOnMainLoop(fulfilled("direct")).text == "direct");
    try {
        runOnMainLoop(failing(failure));
        FAIL("the failure must reach the caller");
    } catch (const ErrorException& e) {
        CHECK(e.error().code() == 5);
    }

    auto resumed = runOnMainLoop([]() -> Task<Token> {
        co_return co_await withContinuation<Token>(
            [](Continuation<Token> c) { std::thread([c]() mutable { c.resume(Token("resumed")); }).detach(); });
    }());
    CHECK(resumed.text == "resumed");
    CHECK(errorFromException([&] {
              try {
                  runOnMainLoop([](Error error) -> Task<Token> {
                      co_return co_await withContinuation<Token>(
                          [error](Continuation<Token> c) { c.resumeThrowing(error); });
                  }(failure));
              } catch (...) {
                  return std::current_exception();
              }
              return std::exception_ptr();
          }())
              .code() == 5);

    auto shared = SharedTask<Token>::make(DispatchQueue::make("com.brisko.test.shared"),
                                          [fulfilled] { return fulfilled("shared"); });
    CHECK(runOnMainLoop(shared->value()).text == "shared");
    CHECK(runOnMainLoop(shared->value()).text == "shared");

    Actor actor("com.brisko.test.actor.token");
    auto isolated = [&](std::optional<Error> error) -> Task<Token> {
        co_return co_await actor.isolated([&, error]() -> Task<Token> {
            if (error) throw ErrorException(*error);
            co_return Token(actor.queue()->isCurrent() ? "on the actor" : "elsewhere");
        });
    };
    CHECK(runOnMainLoop(isolated(std::nullopt)).text == "on the actor");
    try {
        runOnMainLoop(isolated(failure));
        FAIL("the actor's failure must reach the caller");
    } catch (const ErrorException& e) {
        CHECK(e.error().code() == 5);
    }
}
