// recover: replaces a rejection with what the recovery gives (a value, an error or a promise).
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> template <class F> Promise<T> Promise<T>::recover(const Queue& queue, F recovery) const {
    detail::requireQueue(queue);
    detail::requireWork(recovery, "recovery");
    return chain<T>(queue, nullptr, std::move(recovery));
}

}  // namespace brisko::promises
