// always: runs the work whatever the outcome and keeps the outcome.
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> template <class F> Promise<T> Promise<T>::always(const Queue& queue, F work) const {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    auto shared = std::make_shared<F>(std::move(work));
    return chain<T>(
        queue,
        [shared](const T& value) -> Resolution<T> {
            (*shared)();
            return value;
        },
        [shared](const Error& error) -> Resolution<T> {
            (*shared)();
            return error;
        });
}

}  // namespace brisko::promises
