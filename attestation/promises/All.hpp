// all: the values of every promise in input order once all fulfil; the first rejection wins.
#pragma once

#include <atomic>
#include <tuple>

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
// Each non-promise element becomes a promise settled with it. The elements are moved out: a promise
// handle changes owner without touching its count, which other threads may be changing.
template <class T> std::vector<Promise<T>> settledPromises(std::vector<Resolution<T>>& items) {
    std::vector<Promise<T>> out;
    out.reserve(items.size());
    for (auto& item : items) {
        auto& v = item.get();
        if (v.index() == 2) {
            out.push_back(std::move(std::get<2>(v)));
        } else if (v.index() == 1) {
            out.push_back(Promise<T>::resolvedWith(std::move(std::get<1>(v))));
        } else {
            out.push_back(Promise<T>::resolvedWith(std::move(std::get<0>(v))));
        }
    }
    return out;
}
}  // namespace detail

namespace detail {
// What one all or any shares among the observers of its inputs: the outcomes gathered so far, slot by
// input position, and the promise they settle. The observers hold a pointer to it and an index, never
// the input promises (so a promise that never settles leaves no cycle behind) nor settling functions of
// their own (so each observer stays small enough to be stored inline).
template <class Slot, class R> struct Gathering {
    Gathering(std::size_t n, Promise<R> r) : slots(n), remaining(n), result(std::move(r)) {}

    // Stores the outcome of input i, each input's at most once and from any thread; true for the one
    // that leaves nothing to wait for, which alone may then read every slot.
    bool store(std::size_t i, Slot outcome) {
        slots[i].emplace(std::move(outcome));
        // Each store is released to the last one, which acquires all of them through this count.
        return remaining.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }
    std::vector<Slot> takeAll() {
        std::vector<Slot> out;
        out.reserve(slots.size());
        for (auto& slot : slots) out.push_back(std::move(*slot));
        return out;
    }

    std::vector<std::optional<Slot>> slots;
    std::atomic<std::size_t> remaining;
    Promise<R> result;
};

// Observes every input on the queue for one gathering that settles `result`. OnValue and OnError are
// captureless callables taking (gathering, index, value or error); each observer holds only the
// gathering and its index, which keeps it small enough to be stored inline.
template <class Slot, class R, class T, class OnValue, class OnError>
void gatherEach(const Queue& queue, const std::vector<Promise<T>>& inputs, const Promise<R>& result, OnValue, OnError) {
    static_assert(std::is_empty_v<OnValue> && std::is_empty_v<OnError>, "the callbacks capture nothing");
    auto gathered = std::make_shared<Gathering<Slot, R>>(inputs.size(), result);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        inputs[i].observe(
            queue, [gathered, i](const T& value) { OnValue{}(*gathered, i, value); },
            [gathered, i](const Error& error) { OnError{}(*gathered, i, error); });
    }
}
}  // namespace detail

template <class T> Promise<std::vector<T>> Promise<T>::all(const Queue& queue, std::vector<Resolution<T>> items) {
    detail::requireQueue(queue);
    if (items.empty()) return Promise<std::vector<T>>::resolvedWith(std::vector<T>{});
    using Result = Promise<std::vector<T>>;
    // The inputs are kept as promises (or as the first error element, out of line) until the work runs:
    // far smaller than the resolutions, which have room for an error each, and small enough for the
    // task to be kept inline.
    std::unique_ptr<Error> firstError;
    for (auto& item : items) {
        if (item.get().index() == 1) {
            firstError = std::make_unique<Error>(std::move(std::get<1>(item.get())));
            break;
        }
    }
    std::vector<Promise<T>> inputs;
    if (!firstError) inputs = detail::settledPromises(items);
    return detail::settledByTask<std::vector<T>>(
        queue, [queue, firstError = std::move(firstError), promises = std::move(inputs)](const Result& result) mutable {
            // An error element rejects at once, before anything is observed.
            if (firstError) {
                result.reject(std::move(*firstError));
                return;
            }
            const std::vector<Promise<T>> observed = std::move(promises);
            detail::gatherEach<T>(
                queue, observed, result,
                [](auto& gathered, std::size_t i, const T& value) {
                    if (gathered.store(i, value)) gathered.result.fulfill(gathered.takeAll());
                },
                [](auto& gathered, std::size_t, const Error& error) { gathered.result.reject(error); });
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
