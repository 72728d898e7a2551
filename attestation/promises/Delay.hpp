// delay: passes a fulfilment on after the interval, a rejection at once.
#pragma once

#include <chrono>

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
inline Duration secondsToDuration(double seconds) {
    // Whole nanoseconds, as a dispatch time is computed.
    return std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)));
}
}  // namespace detail

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
