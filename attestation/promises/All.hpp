// all: the values of every promise in input order once all fulfil; the first rejection wins.
#pragma once

#include <tuple>

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
// Each non-promise element becomes a promise settled with it.
template <class T> std::vector<Promise<T>> settledPromises(std::vector<Resolution<T>>& items) {
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

namespace detail {
// The outcomes gathered so far, slot by input position; observers fill them from any thread.
template <class Slot> struct Gathered {
    explicit Gathered(std::size_t n) : slots(n), remaining(n) {}
    std::mutex mutex;
    std::vector<std::optional<Slot>> slots;
    std::size_t remaining;
};
}  // namespace detail

template <class T> Promise<std::vector<T>> Promise<T>::all(const Queue& queue, std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    if (items.empty()) return Promise<std::vector<T>>::resolvedWith(std::vector<T>{});
    using Result = Promise<std::vector<T>>;
    // The inputs are kept as promises (or as the first error element) until the work runs: far smaller
    // than the resolutions, which have room for an error each.
    std::optional<Error> firstError;
    for (auto& item : items) {
        if (item.get().index() == 1) {
            firstError = std::get<1>(item.get());
            break;
        }
    }
    std::vector<Promise<T>> inputs;
    if (!firstError) inputs = detail::settledPromises(items);
    return Result::async(queue, [queue, firstError = std::move(firstError), promises = std::move(inputs)](
                                    typename Result::Fulfill fulfill, typename Result::Reject reject) mutable {
        // An error element rejects at once, before anything is observed.
        if (firstError) {
            reject(std::move(*firstError));
            return;
        }
        // The observers hold the gathered values, never the promises, so a promise that never settles
        // leaves no cycle behind. The settling functions are kept once in the gathered state rather than
        // copied into every observer, which keeps each observer small enough to be stored inline.
        const std::vector<Promise<T>> observed = std::move(promises);
        struct Settling : detail::Gathered<T> {
            Settling(std::size_t n, typename Result::Fulfill f, typename Result::Reject r)
                : detail::Gathered<T>(n), fulfill(std::move(f)), reject(std::move(r)) {}
            typename Result::Fulfill fulfill;
            typename Result::Reject reject;
        };
        auto gathered = std::make_shared<Settling>(observed.size(), std::move(fulfill), std::move(reject));
        for (std::size_t i = 0; i < observed.size(); ++i) {
            observed[i].observe(
                queue,
                [gathered, i](const T& value) {
                    std::vector<T> values;
                    {
                        std::lock_guard lock(gathered->mutex);
                        gathered->slots[i] = value;
                        if (--gathered->remaining != 0) return;
                        values.reserve(gathered->slots.size());
                        for (auto& slot : gathered->slots) values.push_back(std::move(*slot));
                    }
                    gathered->fulfill(std::move(values));
                },
                [gathered](const Error& error) { gathered->reject(error); });
        }
    });
}

// The all-of operator over promises of different types: a tuple of their values.
template <class... T> Promise<std::tuple<T...>> all(const Queue& queue, Promise<T>... promises) {
    detail::requireQueue(queue);
    using Result = Promise<std::tuple<T...>>;
    struct Slots {
        std::mutex mutex;
        std::tuple<std::optional<T>...> values;
        std::size_t remaining = sizeof...(T);
    };
    auto result = Result::pending();
    auto slots = std::make_shared<Slots>();
    auto observeOne = [&]<std::size_t I>(std::integral_constant<std::size_t, I>, const auto& promise) {
        using V = typename std::decay_t<decltype(promise)>::ValueType;
        promise.observe(
            queue,
            [slots, result](const V& value) {
                std::unique_lock lock(slots->mutex);
                std::get<I>(slots->values) = value;
                if (--slots->remaining != 0) return;
                auto values = std::apply([](auto&... v) { return std::tuple<T...>(std::move(*v)...); }, slots->values);
                lock.unlock();
                result.fulfill(std::move(values));
            },
            [result](const Error& error) { result.reject(error); });
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (observeOne(std::integral_constant<std::size_t, I>{}, promises), ...);
    }
    (std::index_sequence_for<T...>{});
    return result;
}

}  // namespace brisko::promises
