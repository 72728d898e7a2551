// async and do: promises settled by work submitted to a queue (counted in the dispatch group).
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> template <class F> Promise<T> Promise<T>::async(const Queue& queue, F work) {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    auto promise = Promise<T>::pending();
    dispatchGroup().enter();
    queue.async([queue, promise, w = std::move(work)]() mutable {
        struct Leave {
            ~Leave() { dispatchGroup().leave(); }
        } leave;
        // Only the first settling call has effect.
        Fulfill fulfill = [queue, promise](Resolution<T> r) { promise.resolveOn(queue, std::move(r)); };
        Reject reject = [promise](Error e) { promise.reject(std::move(e)); };
        try {
            w(std::move(fulfill), std::move(reject));
        } catch (const platform::ErrorException& e) {
            promise.reject(e.error());
        }
    });
    return promise;
}

template <class T> template <class F> Promise<T> Promise<T>::do_(const Queue& queue, F work) {
    detail::requireWork(work, "work");
    return async(queue,
                 [w = std::move(work)](Fulfill fulfill, Reject) mutable { fulfill(detail::invokeResolution<T>(w)); });
}

}  // namespace brisko::promises
