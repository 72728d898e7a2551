// The asynchronous forms of completion-style operations: run the operation and wait for its single
// completion.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

// `start` is called with a callback taking (T, OptionalError) — or only the OptionalError for void —
// and must arrange for it to be called once; an error throws ErrorException from the awaiting task.
// The outcome crosses threads as a plain value and the exception is made on the awaiting side, so no
// exception object is shared between the completing thread and the awaiting one.
template <class T, class Start> platform::Task<T> awaitCompletion(Start start) {
    if constexpr (std::is_void_v<T>) {
        auto error = co_await platform::withContinuation<platform::OptionalError>(
            [start = std::move(start)](platform::Continuation<platform::OptionalError> c) mutable {
                start([c](platform::OptionalError error) mutable { c.resume(std::move(error)); });
            });
        if (error) throw platform::ErrorException(std::move(*error));
    } else {
        using Outcome = std::pair<std::optional<T>, platform::OptionalError>;
        auto outcome = co_await platform::withContinuation<Outcome>(
            [start = std::move(start)](platform::Continuation<Outcome> c) mutable {
                start([c](T value, platform::OptionalError error) mutable {
                    c.resume(error ? Outcome{std::nullopt, std::move(error)} : Outcome{std::move(value), std::nullopt});
                });
            });
        if (outcome.second) throw platform::ErrorException(std::move(*outcome.second));
        co_return std::move(*outcome.first);
    }
}

}  // namespace brisko::auth
