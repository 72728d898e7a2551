// How the identity client runs its work: detached tasks on the shared pool, completions on the main
// queue, and the outcome of a task as a value or an error.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

// Starts a task on a queue of its own on the shared pool; it is bound to no serial queue.
inline void startTask(platform::Task<void> task, std::string what) {
    platform::spawnDetached(platform::DispatchQueue::make("com.ezevar.zudiridi.auth.task"), std::move(task),
                            std::move(what));
}

inline void mainAsync(platform::DispatchQueue::Work work) {
    platform::DispatchQueue::main()->async(std::move(work));
}

// Calls the completion, when there is one, on the main queue.
template <class T>
void completeOnMain(const std::function<void(T, platform::OptionalError)>& completion, T value,
                    platform::OptionalError error) {
    if (!completion) return;
    mainAsync([completion, value = std::move(value), error = std::move(error)]() mutable {
        completion(std::move(value), std::move(error));
    });
}
inline void completeOnMain(const std::function<void(platform::OptionalError)>& completion,
                           platform::OptionalError error) {
    if (!completion) return;
    mainAsync([completion, error = std::move(error)]() mutable { completion(std::move(error)); });
}

inline platform::Error currentError() {
    return platform::errorFromException(std::current_exception());
}

// Awaits the work and hands its value or its error to the completion on the main queue.
template <class T>
platform::Task<void> completeOnMainAfter(platform::Task<T> work,
                                         std::function<void(T, platform::OptionalError)> completion) {
    T value{};
    platform::OptionalError error;
    try {
        value = co_await std::move(work);
    } catch (...) {
        error = currentError();
    }
    completeOnMain(completion, std::move(value), std::move(error));
}

}  // namespace brisko::auth
