// A value delivered once by a callback and awaited by one coroutine, whichever comes first.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/base/Async.hpp"

namespace brisko::auth::detail {

template <class T> class OneShot : public std::enable_shared_from_this<OneShot<T>> {
public:
    // The first value wins; later ones are ignored.
    void set(T value) {
        std::optional<platform::Continuation<T>> waiter;
        {
            std::lock_guard lock(mutex_);
            if (value_) return;
            value_ = value;
            waiter.swap(waiter_);
        }
        if (waiter) waiter->resume(std::move(value));
    }

    platform::Task<T> wait() {
        auto self = this->shared_from_this();
        {
            std::lock_guard lock(mutex_);
            if (value_) co_return *value_;
        }
        co_return co_await platform::withContinuation<T>([self](platform::Continuation<T> c) {
            std::unique_lock lock(self->mutex_);
            if (self->value_) {
                T value = *self->value_;
                lock.unlock();
                c.resume(std::move(value));
                return;
            }
            self->waiter_.emplace(std::move(c));
        });
    }

private:
    std::mutex mutex_;
    std::optional<T> value_;
    std::optional<platform::Continuation<T>> waiter_;
};

}  // namespace brisko::auth::detail
