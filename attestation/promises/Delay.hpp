// delay: passes a fulfilment on after the interval, a rejection at once.
#pragma once

#include <chrono>

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> Promise<T> Promise<T>::delay(const Queue& queue, double interval) const {
    detail::requireQueue(queue);
    auto next = Promise<T>::pending();
    observe(
        queue,
        [queue, next, interval](const T& value) {
            timerSource()->after(queue, detail::secondsToDuration(interval), [next, value] { next.fulfill(value); });
        },
        [next](const Error& error) { next.reject(error); });
    return next;
}

}  // namespace brisko::promises
