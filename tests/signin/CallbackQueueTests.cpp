// The pausable step queue of a sign-in flow.
#include <memory>
#include <string>

#include <doctest/doctest.h>

#include "signin/CallbackQueue.hpp"

using brisko::signin::CallbackQueue;

TEST_CASE("a waiting step holds the later ones until next, which runs them in order") {
    auto queue = std::make_shared<CallbackQueue>();
    std::string ran;
    queue->addCallback([&] {
        ran += "A";
        queue->wait();
    });
    queue->addCallback([&] { ran += "B"; });
    queue->addCallback([&] { ran += "C"; });
    CHECK(ran == "A");
    queue->next();
    CHECK(ran == "ABC");
    // An idle queue runs a new step at once; next without a wait does nothing.
    queue->next();
    queue->addCallback([&] { ran += "D"; });
    CHECK(ran == "ABCD");
}

TEST_CASE("two waits need two nexts, and a waiting queue keeps itself alive") {
    std::weak_ptr<CallbackQueue> weak;
    std::string ran;
    CallbackQueue* raw = nullptr;
    {
        auto queue = std::make_shared<CallbackQueue>();
        weak = queue;
        raw = queue.get();
        queue->addCallback([&] {
            raw->wait();
            raw->wait();
        });
        queue->addCallback([&] { ran += "B"; });
    }
    REQUIRE_FALSE(weak.expired());
    raw->next();
    CHECK(ran.empty());
    raw->next();
    CHECK(ran == "B");
    CHECK(weak.expired());
}

TEST_CASE("a step that adds steps does not start a nested run; reset drops everything") {
    auto queue = std::make_shared<CallbackQueue>();
    std::string ran;
    queue->addCallback([&] {
        queue->addCallback([&] { ran += "inner"; });
        ran += "outer-";
    });
    CHECK(ran == "outer-inner");
    queue->addCallback([&] { queue->wait(); });
    queue->addCallback([&] { ran += "never"; });
    queue->reset();
    queue->next();
    CHECK(ran == "outer-inner");

    // An empty step is ignored: an idle queue stays ready for the next one, and a waiting queue does
    // not keep it (running it on resume would throw).
    queue->addCallback(nullptr);
    queue->addCallback([&] { ran += "-after"; });
    CHECK(ran == "outer-inner-after");
    queue->addCallback([&] { queue->wait(); });
    queue->addCallback(nullptr);
    queue->addCallback([&] { ran += "-resumed"; });
    CHECK(ran == "outer-inner-after");
    CHECK_NOTHROW(queue->next());
    CHECK(ran == "outer-inner-after-resumed");
}
