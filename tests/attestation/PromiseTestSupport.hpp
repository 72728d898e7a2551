// Helpers of the promise tests: the three kinds of queue, and waiting for a promise while the main
// queue runs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <doctest/doctest.h>

#include "attestation/promises/Promises.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::promises::testing {

struct NamedQueue {
    std::string name;
    Queue queue;
};

// A serial queue of the shared pool, a concurrent queue over two threads of its own, the main queue.
inline std::vector<NamedQueue> queueKinds() {
    return {{"serial", Queue(platform::DispatchQueue::make("test.promises.serial"))},
            {"concurrent", Queue::concurrent("test.promises.concurrent", std::make_shared<ThreadPool>(2))},
            {"main", Queue::main()}};
}

// Runs the main queue until the condition holds (bounded).
inline bool runUntil(const std::function<bool()>& done) {
    return platform::MainLoop::runUntil(done, std::chrono::seconds(10));
}

template <class T> bool settles(const Promise<T>& p) {
    return runUntil([&] { return !p.isPending(); });
}

// Lets already-queued work run: every queue's pending callbacks are done when the group is empty.
inline void drain() {
    CHECK(waitForGroup(10));
}

inline Error testError(int code = 7) {
    return Error("test.domain", code);
}

}  // namespace brisko::promises::testing
