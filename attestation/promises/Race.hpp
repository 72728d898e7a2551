// race: the outcome of the first promise to settle; a plain value or error in the list decides at once.
#pragma once

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> Promise<T> Promise<T>::race(const Queue& queue, std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    if (items.empty()) detail::raise(kNoPromisesToObserve);
    return detail::settledByTask<T>(queue, [queue, items = std::move(items)](const Promise<T>& result) mutable {
        for (auto& item : items) {
            if (item.get().index() != 2) {
                result.resolveOn(queue, std::move(item));
                return;
            }
        }
        // The first settling call wins: each observer holds only the result.
        for (auto& item : items) {
            std::get<2>(item.get())
                .observe(
                    queue, [result](const T& value) { result.fulfill(value); },
                    [result](const Error& error) { result.reject(error); });
        }
    });
}

}  // namespace brisko::promises
