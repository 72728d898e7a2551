// validate: rejects with the validation error when the predicate does not hold for the value.
#pragma once

#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

template <class T> template <class F> Promise<T> Promise<T>::validate(const Queue& queue, F predicate) const {
    detail::requireQueue(queue);
    detail::requireWork(predicate, "predicate");
    return chain<T>(
        queue,
        [p = std::move(predicate)](const T& value) mutable -> Resolution<T> {
            if (p(value)) return value;
            return Error(std::string(kPromiseErrorDomain), kPromiseErrorCodeValidationFailure);
        },
        nullptr);
}

}  // namespace brisko::promises
