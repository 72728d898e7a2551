// reduce: folds the items into the value, one chained step per item; a rejection skips the rest.
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T>
template <class I, class F>
Promise<T> Promise<T>::reduce(const Queue& queue, const std::vector<I>& items, F reducer) const {
    detail::requireQueue(queue);
    detail::requireWork(reducer, "reducer");
    auto shared = std::make_shared<F>(std::move(reducer));
    Promise<T> promise = *this;
    for (const auto& item : items) {
        promise = promise.template chain<T>(
            queue,
            [shared, item](const T& partial) -> Resolution<T> {
                return detail::invokeResolution<T>(*shared, partial, item);
            },
            nullptr);
    }
    return promise;
}

}  // namespace brisko::promises
