// retry: runs the work again after a delay while it fails, attempts remain and the condition allows.
#pragma once

#include "attestation/promises/Delay.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::promises {

namespace detail {

template <class T, class F> struct RetryRun : std::enable_shared_from_this<RetryRun<T, F>> {
    RetryRun(Queue q, double d, typename Promise<T>::RetryCondition c, F w)
        : queue(std::move(q)), delay(d), condition(std::move(c)), work(std::move(w)) {}

    // One attempt with `remaining` retries left. The first runs on the caller's thread.
    void attempt(std::int64_t remaining) {
        auto resolution = invokeResolution<T>(work);
        auto& v = resolution.get();
        if (v.index() == 2) {
            auto self = this->shared_from_this();
            std::get<2>(v).observe(
                queue, [self, remaining](const T& value) { self->handle(remaining, Resolution<T>(value)); },
                [self, remaining](const Error& error) { self->handle(remaining, Resolution<T>(error)); });
        } else {
            handle(remaining, std::move(resolution));
        }
    }
    void handle(std::int64_t remaining, Resolution<T> outcome) {
        auto& v = outcome.get();
        if (v.index() != 1) {
            result.resolveOn(queue, std::move(outcome));
            return;
        }
        const Error& error = std::get<1>(v);
        if (remaining > 0 && (!condition || condition(remaining, error))) {
            auto self = this->shared_from_this();
            timerSource()->after(queue, secondsToDuration(delay), [self, remaining] { self->attempt(remaining - 1); });
        } else {
            result.reject(error);
        }
    }

    Promise<T> result = Promise<T>::pending();
    Queue queue;
    double delay;
    typename Promise<T>::RetryCondition condition;
    F work;
};

}  // namespace detail

template <class T>
template <class F>
Promise<T> Promise<T>::retry(const Queue& queue, std::int64_t attempts, double delay, RetryCondition condition,
                             F work) {
    detail::requireQueue(queue);
    detail::requireWork(work, "work");
    auto run = std::make_shared<detail::RetryRun<T, F>>(queue, delay, std::move(condition), std::move(work));
    auto result = run->result;
    run->attempt(attempts);
    return result;
}

}  // namespace brisko::promises
