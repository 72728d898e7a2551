// race: the outcome of the first promise to settle; a plain value or error in the list decides at once.
#pragma once

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> Promise<T> Promise<T>::race(const Queue& queue, std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    if (items.empty()) detail::raise(kNoPromisesToObserve);
    return Promise<T>::async(queue, [queue, items = std::move(items)](Fulfill fulfill, Reject reject) mutable {
        for (auto& item : items) {
            if (item.get().index() != 2) {
                fulfill(std::move(item));
                return;
            }
        }
        for (auto& item : items) {
            std::get<2>(item.get())
                .observe(
                    queue, [fulfill](const T& value) { fulfill(value); },
                    [reject](const Error& error) { reject(error); });
        }
    });
}

}  // namespace brisko::promises
