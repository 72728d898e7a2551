// all: the values of every promise in input order once all fulfil; the first rejection wins.
#pragma once

#include <tuple>

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
// Each non-promise element becomes a promise settled with it.
template <class T>
std::vector<Promise<T>> settledPromises(std::vector<Resolution<T>>& items) {
    std::vector<Promise<T>> out;
    out.reserve(items.size());
    for (auto& item : items) {
        auto& v = item.get();
        if (v.index() == 2) {
            out.push_back(std::get<2>(v));
        } else if (v.index() == 1) {
            out.push_back(Promise<T>::resolvedWith(std::get<1>(v)));
        } else {
            out.push_back(Promise<T>::resolvedWith(std::move(std::get<0>(v))));
        }
    }
    return out;
}
}  // namespace detail

template <class T>
Promise<std::vector<T>> Promise<T>::all(const Queue& queue, std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    if (items.empty()) return Promise<std::vector<T>>::resolvedWith(std::vector<T>{});
    using Result = Promise<std::vector<T>>;
    return Result::async(queue, [queue, items = std::move(items)](typename Result::Fulfill fulfill,
                                                                  typename Result::Reject reject) mutable {
        // An error element rejects at once, before anything is observed.
        for (auto& item : items) {
            if (item.get().index() == 1) {
                reject(std::get<1>(item.get()));
                return;
            }
        }
        auto promises = std::make_shared<std::vector<Promise<T>>>(detail::settledPromises(items));
        for (const auto& p : *promises) {
            p.observe(
                queue,
                [promises, fulfill](const T&) {
                    std::vector<T> values;
                    values.reserve(promises->size());
                    for (const auto& q : *promises) {
                        auto v = q.value();
                        if (!v) return;
                        values.push_back(std::move(*v));
                    }
                    fulfill(std::move(values));
                },
                [reject](const Error& error) { reject(error); });
        }
    });
}

// The all-of operator over promises of different types: a tuple of their values.
template <class... T>
Promise<std::tuple<T...>> all(const Queue& queue, Promise<T>... promises) {
    detail::requireQueue(queue);
    using Result = Promise<std::tuple<T...>>;
    auto result = Result::pending();
    auto tuple = std::make_shared<std::tuple<Promise<T>...>>(promises...);
    auto check = [result, tuple] {
        bool done = std::apply([](const auto&... p) { return (p.isFulfilled() && ...); }, *tuple);
        if (done) result.fulfill(std::apply([](const auto&... p) { return std::tuple<T...>(*p.value()...); }, *tuple));
    };
    (promises.observe(
         queue, [check](const T&) { check(); }, [result](const Error& error) { result.reject(error); }),
     ...);
    return result;
}

}  // namespace brisko::promises
