// The wrap family: promises made from completion-handler interfaces. Each handler settles the promise
// once; later calls are ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "attestation/promises/Async.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {
// Runs `work` with a handler made by `makeHandler(fulfill, reject)`.
template <class T, class F, class MakeHandler> Promise<T> wrap(const Queue& queue, F work, MakeHandler makeHandler) {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    return Promise<T>::async(queue, [w = std::move(work), makeHandler](typename Promise<T>::Fulfill fulfill,
                                                                       typename Promise<T>::Reject reject) mutable {
        w(makeHandler(std::move(fulfill), std::move(reject)));
    });
}
}  // namespace detail

// handler()
template <class F> Promise<Nothing> wrapCompletion(const Queue& queue, F work) {
    return detail::wrap<Nothing>(queue, std::move(work), [](auto fulfill, auto) {
        return std::function<void()>([fulfill] { fulfill(Nothing{}); });
    });
}
// handler(T)
template <class T, class F> Promise<T> wrapObjectCompletion(const Queue& queue, F work) {
    return detail::wrap<T>(queue, std::move(work), [](auto fulfill, auto) {
        return std::function<void(Resolution<T>)>([fulfill](Resolution<T> value) { fulfill(std::move(value)); });
    });
}
// handler(error or none)
template <class F> Promise<Nothing> wrapErrorCompletion(const Queue& queue, F work) {
    return detail::wrap<Nothing>(queue, std::move(work), [](auto fulfill, auto reject) {
        return std::function<void(std::optional<Error>)>([fulfill, reject](std::optional<Error> error) {
            if (error) {
                reject(std::move(*error));
            } else {
                fulfill(Nothing{});
            }
        });
    });
}
// handler(T, error or none)
template <class T, class F> Promise<T> wrapObjectOrErrorCompletion(const Queue& queue, F work) {
    return detail::wrap<T>(queue, std::move(work), [](auto fulfill, auto reject) {
        return std::function<void(Resolution<T>, std::optional<Error>)>(
            [fulfill, reject](Resolution<T> value, std::optional<Error> error) {
                if (error) {
                    reject(std::move(*error));
                } else {
                    fulfill(std::move(value));
                }
            });
    });
}
// handler(error or none, T)
template <class T, class F> Promise<T> wrapErrorOrObjectCompletion(const Queue& queue, F work) {
    return detail::wrap<T>(queue, std::move(work), [](auto fulfill, auto reject) {
        return std::function<void(std::optional<Error>, Resolution<T>)>(
            [fulfill, reject](std::optional<Error> error, Resolution<T> value) {
                if (error) {
                    reject(std::move(*error));
                } else {
                    fulfill(std::move(value));
                }
            });
    });
}
// handler(A or none, B or none, error or none): a pair whose absent members stay empty.
template <class A, class B, class F>
Promise<std::pair<std::optional<A>, std::optional<B>>> wrap2ObjectsOrErrorCompletion(const Queue& queue, F work) {
    using Pair = std::pair<std::optional<A>, std::optional<B>>;
    return detail::wrap<Pair>(queue, std::move(work), [](auto fulfill, auto reject) {
        return std::function<void(std::optional<A>, std::optional<B>, std::optional<Error>)>(
            [fulfill, reject](std::optional<A> a, std::optional<B> b, std::optional<Error> error) {
                if (error) {
                    reject(std::move(*error));
                } else {
                    fulfill(Pair(std::move(a), std::move(b)));
                }
            });
    });
}

namespace detail {
template <class V, class F> Promise<V> wrapScalar(const Queue& queue, F work) {
    return wrap<V>(queue, std::move(work),
                   [](auto fulfill, auto) { return std::function<void(V)>([fulfill](V value) { fulfill(value); }); });
}
template <class V, class F> Promise<V> wrapScalarOrError(const Queue& queue, F work) {
    return wrap<V>(queue, std::move(work), [](auto fulfill, auto reject) {
        return std::function<void(V, std::optional<Error>)>([fulfill, reject](V value, std::optional<Error> error) {
            if (error) {
                reject(std::move(*error));
            } else {
                fulfill(value);
            }
        });
    });
}
}  // namespace detail

template <class F> Promise<bool> wrapBoolCompletion(const Queue& queue, F work) {
    return detail::wrapScalar<bool>(queue, std::move(work));
}
template <class F> Promise<bool> wrapBoolOrErrorCompletion(const Queue& queue, F work) {
    return detail::wrapScalarOrError<bool>(queue, std::move(work));
}
template <class F> Promise<std::int64_t> wrapIntegerCompletion(const Queue& queue, F work) {
    return detail::wrapScalar<std::int64_t>(queue, std::move(work));
}
template <class F> Promise<std::int64_t> wrapIntegerOrErrorCompletion(const Queue& queue, F work) {
    return detail::wrapScalarOrError<std::int64_t>(queue, std::move(work));
}
template <class F> Promise<double> wrapDoubleCompletion(const Queue& queue, F work) {
    return detail::wrapScalar<double>(queue, std::move(work));
}
template <class F> Promise<double> wrapDoubleOrErrorCompletion(const Queue& queue, F work) {
    return detail::wrapScalarOrError<double>(queue, std::move(work));
}

// The forms on the default queue.
template <class F> Promise<Nothing> wrapCompletion(F work) {
    return wrapCompletion(defaultDispatchQueue(), std::move(work));
}
template <class T, class F> Promise<T> wrapObjectCompletion(F work) {
    return wrapObjectCompletion<T>(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<Nothing> wrapErrorCompletion(F work) {
    return wrapErrorCompletion(defaultDispatchQueue(), std::move(work));
}
template <class T, class F> Promise<T> wrapObjectOrErrorCompletion(F work) {
    return wrapObjectOrErrorCompletion<T>(defaultDispatchQueue(), std::move(work));
}
template <class T, class F> Promise<T> wrapErrorOrObjectCompletion(F work) {
    return wrapErrorOrObjectCompletion<T>(defaultDispatchQueue(), std::move(work));
}
template <class A, class B, class F>
Promise<std::pair<std::optional<A>, std::optional<B>>> wrap2ObjectsOrErrorCompletion(F work) {
    return wrap2ObjectsOrErrorCompletion<A, B>(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<bool> wrapBoolCompletion(F work) {
    return wrapBoolCompletion(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<bool> wrapBoolOrErrorCompletion(F work) {
    return wrapBoolOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<std::int64_t> wrapIntegerCompletion(F work) {
    return wrapIntegerCompletion(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<std::int64_t> wrapIntegerOrErrorCompletion(F work) {
    return wrapIntegerOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<double> wrapDoubleCompletion(F work) {
    return wrapDoubleCompletion(defaultDispatchQueue(), std::move(work));
}
template <class F> Promise<double> wrapDoubleOrErrorCompletion(F work) {
    return wrapDoubleOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

}  // namespace brisko::promises
