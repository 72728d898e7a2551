// then: a chained promise whose value the work transforms; a rejection passes through.
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T>
template <class U, class F>
Promise<detail::ResultOf<U, F, const T&>> Promise<T>::then(const Queue& queue, F work) const {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    using V = detail::ResultOf<U, F, const T&>;
    return chain<V>(queue, std::move(work), nullptr);
}

}  // namespace brisko::promises
