// timeout: the receiver's outcome, or the timed-out error when the interval passes first.
#pragma once

#include "attestation/promises/Delay.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> Promise<T> Promise<T>::timeout(const Queue& queue, double interval) const {
    detail::requireQueue(queue);
    auto next = Promise<T>::pending();
    observe(
        queue, [next](const T& value) { next.fulfill(value); }, [next](const Error& error) { next.reject(error); });
    // The timer holds the result weakly: once nobody holds it, the late timer does nothing.
    std::weak_ptr<detail::State<T>> weak = next.state();
    timerSource()->after(queue, detail::secondsToDuration(interval), [weak] {
        if (auto state = weak.lock()) state->reject(Error(std::string(kPromiseErrorDomain), kPromiseErrorCodeTimedOut));
    });
    return next;
}

}  // namespace brisko::promises
