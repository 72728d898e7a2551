// any: once no promise is pending, every value and error in input order, or the last error when all
// rejected.
#pragma once

#include <algorithm>

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

namespace detail {
// Stores one input's outcome of an any; the outcome that leaves nothing pending decides: the list when
// some input fulfilled, else its own error (all rejected, so it is one).
template <class Outcome, class Gathering> void settleAnyOne(Gathering& gathered, std::size_t i, Outcome outcome) {
    if (!gathered.store(i, std::move(outcome))) return;
    auto list = gathered.takeAll();
    const bool anyFulfilled = std::any_of(list.begin(), list.end(), [](const Outcome& o) { return o.index() == 0; });
    if (anyFulfilled) {
        gathered.result.fulfill(std::move(list));
    } else {
        gathered.result.reject(std::move(std::get<1>(list[i])));
    }
}
}  // namespace detail

template <class T>
Promise<std::vector<typename Promise<T>::Outcome>> Promise<T>::any(const Queue& queue,
                                                                   std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    using Result = Promise<std::vector<Outcome>>;
    if (items.empty()) return Result::resolvedWith(std::vector<Outcome>{});
    return detail::settledByTask<std::vector<Outcome>>(
        queue, [queue, items = std::move(items)](const Result& result) mutable {
            // Every element takes part: an error element is a rejected input, not an early exit.
            const std::vector<Promise<T>> promises = detail::settledPromises(items);
            detail::gatherEach<Outcome>(
                queue, promises, result,
                [](auto& gathered, std::size_t i, const T& value) {
                    detail::settleAnyOne(gathered, i, Outcome(std::in_place_index<0>, value));
                },
                [](auto& gathered, std::size_t i, const Error& error) {
                    detail::settleAnyOne(gathered, i, Outcome(std::in_place_index<1>, error));
                });
        });
}

}  // namespace brisko::promises
