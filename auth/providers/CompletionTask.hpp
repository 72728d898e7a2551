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
template <class T, class Start>
platform::Task<T> awaitCompletion(Start start) {
    co_return co_await platform::withContinuation<T>([start = std::move(start)](platform::Continuation<T> c) mutable {
        if constexpr (std::is_void_v<T>) {
            start([c](platform::OptionalError error) mutable {
                if (error) {
                    c.resumeThrowing(*error);
                } else {
                    c.resume();
                }
            });
        } else {
            start([c](T value, platform::OptionalError error) mutable {
                if (error) {
                    c.resumeThrowing(*error);
                } else {
                    c.resume(std::move(value));
                }
            });
        }
    });
}

}  // namespace brisko::auth
