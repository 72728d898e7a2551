// async and do: promises settled by work submitted to a queue (counted in the dispatch group).
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
// A new pending promise, and a task submitted to the queue that calls the work with it; a thrown
// ErrorException rejects it. The promise and the task enter the dispatch group in one change; the task
// leaves it when it returns. The operators that settle their result themselves use this directly,
// without making settling functions for it.
template <class T, class F> Promise<T> settledByTask(const Queue& queue, F work) {
    dispatchGroup().enter(2);
    Promise<T> promise(makeState<T>(typename State<T>::AlreadyCounted{}));
    queue.asyncInline([promise, w = std::move(work)]() mutable {
        LeaveGroupOnExit leave;
        try {
            w(promise);
        } catch (const platform::ErrorException& e) {
            promise.reject(e.error());
        }
    });
    return promise;
}
}  // namespace detail

template <class T> template <class F> Promise<T> Promise<T>::async(const Queue& queue, F work) {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    return detail::settledByTask<T>(queue, [queue, w = std::move(work)](const Promise<T>& promise) mutable {
        // Only the first settling call has effect.
        Fulfill fulfill = [queue, promise](Resolution<T> r) { promise.resolveOn(queue, std::move(r)); };
        Reject reject = [promise](Error e) { promise.reject(std::move(e)); };
        w(std::move(fulfill), std::move(reject));
    });
}

template <class T> template <class F> Promise<T> Promise<T>::do_(const Queue& queue, F work) {
    detail::requireWork(work, "work");
    detail::requireQueue(queue);
    // The work's result settles the promise as the fulfil callback of async would: a promise is adopted.
    return detail::settledByTask<T>(queue, [queue, w = std::move(work)](const Promise<T>& promise) mutable {
        promise.resolveOn(queue, detail::invokeResolution<T>(w));
    });
}

}  // namespace brisko::promises
