// await: blocks the calling thread until a promise settles. Its callbacks run on a concurrent queue with
// threads of its own, so an await made on a thread of the shared pool (or of any busy pool) cannot
// starve the step that wakes it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

inline constexpr std::string_view kAwaitQueueLabel = "com.ezevar.ZBLPromises.Await";

// The concurrent queue of every await, created on first use.
Queue awaitQueue();

// The value once the promise settles; nothing after a rejection, whose error goes to `error` when given.
template <class T> std::optional<T> await(const Promise<T>& promise, std::optional<Error>* error = nullptr) {
    if (!promise) platform::fatal("await: promise");
    struct Wait {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::optional<T> value;
        std::optional<Error> error;
    };
    auto wait = std::make_shared<Wait>();
    auto signal = [wait] {
        std::lock_guard lock(wait->mutex);
        wait->done = true;
        wait->cv.notify_all();
    };
    promise.observe(
        awaitQueue(),
        [wait, signal](const T& value) {
            wait->value = value;
            signal();
        },
        [wait, signal](const Error& e) {
            wait->error = e;
            signal();
        });
    std::unique_lock lock(wait->mutex);
    wait->cv.wait(lock, [&] { return wait->done; });
    if (error) *error = wait->error;
    return std::move(wait->value);
}

}  // namespace brisko::promises
