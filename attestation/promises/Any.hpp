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
        auto promises = detail::settledPromises(items);
        auto gathered = std::make_shared<detail::Gathered<Outcome>>(promises.size());
        // Called with each outcome; the one that leaves nothing pending decides.
        auto settleOne = [gathered, fulfill, reject](std::size_t i, Outcome outcome) {
            std::unique_lock lock(gathered->mutex);
            const bool isError = outcome.index() == 1;
            std::optional<Error> last = isError ? std::optional<Error>(std::get<1>(outcome)) : std::nullopt;
            gathered->slots[i] = std::move(outcome);
            if (--gathered->remaining != 0) return;
            bool anyFulfilled = false;
            std::vector<Outcome> list;
            list.reserve(gathered->slots.size());
            for (auto& slot : gathered->slots) {
                anyFulfilled = anyFulfilled || slot->index() == 0;
                list.push_back(std::move(*slot));
            }
            lock.unlock();
            if (anyFulfilled || !last) {
                fulfill(std::move(list));
            } else {
                reject(std::move(*last));
            }
        };
        for (std::size_t i = 0; i < promises.size(); ++i) {
            promises[i].observe(
                queue, [settleOne, i](const T& value) { settleOne(i, Outcome(std::in_place_index<0>, value)); },
                [settleOne, i](const Error& error) { settleOne(i, Outcome(std::in_place_index<1>, error)); });
        }
    });
}

}  // namespace brisko::promises
