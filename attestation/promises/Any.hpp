// any: once no promise is pending, every value and error in input order, or the last error when all
// rejected.
#pragma once

#include "attestation/promises/All.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

// One entry per promise: its value or its error. A pending promise here is a programming error.
template <class T>
std::vector<typename Promise<T>::Outcome> combineValuesAndErrors(const std::vector<Promise<T>>& promises) {
    std::vector<typename Promise<T>::Outcome> out;
    out.reserve(promises.size());
    for (const auto& p : promises) {
        if (p.isPending()) platform::fatal("combineValuesAndErrors: !promise.isPending");
        if (auto v = p.value()) {
            out.emplace_back(std::in_place_index<0>, std::move(*v));
        } else {
            out.emplace_back(std::in_place_index<1>, *p.error());
        }
    }
    return out;
}

template <class T>
Promise<std::vector<typename Promise<T>::Outcome>> Promise<T>::any(const Queue& queue,
                                                                  std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    using Result = Promise<std::vector<Outcome>>;
    if (items.empty()) return Result::resolvedWith(std::vector<Outcome>{});
    return Result::async(queue, [queue, items = std::move(items)](typename Result::Fulfill fulfill,
                                                                  typename Result::Reject reject) mutable {
        auto promises = std::make_shared<std::vector<Promise<T>>>(detail::settledPromises(items));
        auto anyPending = [promises] {
            for (const auto& p : *promises) {
                if (p.isPending()) return true;
            }
            return false;
        };
        for (const auto& p : *promises) {
            p.observe(
                queue,
                [promises, fulfill, anyPending](const T&) {
                    if (!anyPending()) fulfill(combineValuesAndErrors(*promises));
                },
                [promises, fulfill, reject, anyPending](const Error& error) {
                    if (anyPending()) return;
                    for (const auto& q : *promises) {
                        if (q.isFulfilled()) {
                            fulfill(combineValuesAndErrors(*promises));
                            return;
                        }
                    }
                    reject(error);
                });
        }
    });
}

}  // namespace brisko::promises
