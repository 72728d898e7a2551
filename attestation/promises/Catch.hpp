// catch: runs a callback on rejection and keeps the receiver's outcome.
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> template <class F> Promise<T> Promise<T>::catch_(const Queue& queue, F reject) const {
    detail::requireQueue(queue);
    detail::requireWork(reject, "reject");
    return chain<T>(queue, nullptr, [r = std::move(reject)](const Error& error) mutable -> Resolution<T> {
        r(error);
        return error;
    });
}

}  // namespace brisko::promises
