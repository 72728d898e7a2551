// C++20 coroutines on Asio: tasks, a one-shot bridge from completion callbacks, shared tasks and actors.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

template <class T = void> using Task = asio::awaitable<T>;

namespace detail {
// How a result of type T crosses a completion that also reports failures: as it is when it has a
// default value (the value passed beside an exception), else wrapped in an optional, which has one.
template <class T>
using Carried = std::conditional_t<std::is_void_v<T> || std::is_default_constructible_v<T>, T, std::optional<T>>;

template <class T> struct ResumeSig { using type = void(std::exception_ptr, Carried<T>); };
template <> struct ResumeSig<void> { using type = void(std::exception_ptr); };

// Awaits a task and hands back its result as Carried<T>; co_spawn needs a default value for a failure.
template <class T> Task<Carried<T>> carried(Task<T> task) {
    co_return Carried<T>(co_await std::move(task));
}
template <class T> T uncarried(Carried<T> value) {
    if constexpr (std::is_same_v<Carried<T>, T>) {
        return value;
    } else {
        return std::move(*value);
    }
}
}  // namespace detail

// The resume side of a suspended coroutine. Copies share one state; the first resume wins and later
// ones are ignored, so a callback that fires twice cannot resume the coroutine twice.
template <class T> class Continuation {
public:
    using Handler = UniqueFunction<typename detail::ResumeSig<T>::type>;

    explicit Continuation(Handler h) : state_(std::make_shared<State>()) { state_->handler = std::move(h); }

    template <class U = T>
    requires(!std::is_void_v<U>) bool resume(U value) {
        auto h = take();
        if (!h) return false;
        (*h)(nullptr, detail::Carried<T>(std::move(value)));
        return true;
    }
    template <class U = T>
    requires(std::is_void_v<U>) bool resume() {
        auto h = take();
        if (!h) return false;
        (*h)(nullptr);
        return true;
    }
    bool resumeThrowing(std::exception_ptr e) {
        auto h = take();
        if (!h) return false;
        // The exception moves on: no reference to it stays on this thread once the coroutine may run.
        if constexpr (std::is_void_v<T>) {
            (*h)(std::move(e));
        } else {
            (*h)(std::move(e), detail::Carried<T>{});
        }
        return true;
    }
    bool resumeThrowing(const Error& error) { return resumeThrowing(std::make_exception_ptr(ErrorException(error))); }
    bool resumed() const {
        std::lock_guard lock(state_->mutex);
        return !state_->handler;
    }

private:
    struct State {
        std::mutex mutex;
        Handler handler;
    };
    std::optional<Handler> take() {
        std::lock_guard lock(state_->mutex);
        if (!state_->handler) return std::nullopt;
        return std::optional<Handler>(std::move(state_->handler));
    }
    std::shared_ptr<State> state_;
};

namespace detail {
template <class T, class Start> Task<Carried<T>> initiateContinuation(Start start) {
    using Sig = typename ResumeSig<T>::type;
    return asio::async_initiate<const asio::use_awaitable_t<>&, Sig>(
        [start = std::move(start)](auto handler) mutable {
            auto ex = asio::get_associated_executor(handler);
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            typename Continuation<T>::Handler bridge;
            if constexpr (std::is_void_v<T>) {
                bridge = [ex, shared](std::exception_ptr e) mutable {
                    asio::post(ex, [shared, e = std::move(e)]() mutable { (*shared)(std::move(e)); });
                };
            } else {
                bridge = [ex, shared](std::exception_ptr e, Carried<T> v) mutable {
                    asio::post(ex, [shared, e = std::move(e), v = std::move(v)]() mutable {
                        (*shared)(std::move(e), std::move(v));
                    });
                };
            }
            start(Continuation<T>(std::move(bridge)));
        },
        asio::use_awaitable);
}
}  // namespace detail

// Suspends the calling coroutine and hands `start` a continuation; the coroutine resumes, on its own
// executor, when the continuation is resumed.
template <class T, class Start>
requires std::is_same_v<detail::Carried<T>, T> Task<T> withContinuation(Start start) {
    return detail::initiateContinuation<T>(std::move(start));
}
template <class T, class Start>
requires(!std::is_same_v<detail::Carried<T>, T>) Task<T> withContinuation(Start start) {
    co_return std::move(*co_await detail::initiateContinuation<T>(std::move(start)));
}

// Starts a coroutine on a queue without waiting for it; an escaping exception is logged.
void spawnDetached(const std::shared_ptr<DispatchQueue>& queue, Task<void> task, std::string what = {});

// Starts a coroutine on a queue and calls `done` (on that queue) with its outcome.
template <class T, class Done> void spawn(const std::shared_ptr<DispatchQueue>& queue, Task<T> task, Done done) {
    asio::co_spawn(queue->executor(), std::move(task), std::move(done));
}

// Runs a coroutine to completion on the main loop from the main thread (tests and tools). The outcome
// lives in shared state, so a task that outlives a timed-out wait writes nowhere it should not.
template <class T> T runOnMainLoop(Task<T> task, Duration timeout = std::chrono::seconds(30)) {
    struct Outcome {
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
        std::exception_ptr error;
        bool finished = false;
    };
    auto outcome = std::make_shared<Outcome>();
    auto run = [](Task<T> task, std::shared_ptr<Outcome> outcome) -> Task<void> {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome->result.emplace(true);
        } else {
            outcome->result.emplace(co_await std::move(task));
        }
    };
    asio::co_spawn(DispatchQueue::main()->executor(), run(std::move(task), outcome), [outcome](std::exception_ptr e) {
        outcome->error = e;
        outcome->finished = true;
    });
    if (!MainLoop::runUntil([&] { return outcome->finished; }, timeout)) {
        throw ErrorException(Error("com.brisko.platform", -1, {{"NSLocalizedDescription", "task timed out"}}));
    }
    if (outcome->error) std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>) return std::move(*outcome->result);
}

// A task whose one run is shared by every waiter: the first `value()` starts it, later ones wait for
// the same outcome.
template <class T> class SharedTask : public std::enable_shared_from_this<SharedTask<T>> {
public:
    using Factory = UniqueFunction<Task<T>()>;
    static std::shared_ptr<SharedTask> make(std::shared_ptr<DispatchQueue> queue, Factory factory) {
        auto t = std::shared_ptr<SharedTask>(new SharedTask);
        t->queue_ = std::move(queue);
        t->factory_ = std::move(factory);
        return t;
    }

    Task<T> value() {
        auto self = this->shared_from_this();
        co_return co_await withContinuation<T>([self](Continuation<T> c) { self->addWaiter(std::move(c)); });
    }
    bool finished() const {
        std::lock_guard lock(mutex_);
        return done_;
    }

private:
    SharedTask() = default;
    void addWaiter(Continuation<T> c) {
        bool start = false;
        {
            std::lock_guard lock(mutex_);
            if (done_) {
                deliver(c);
                return;
            }
            waiters_.push_back(std::move(c));
            start = !started_;
            started_ = true;
        }
        if (start) asio::co_spawn(queue_->executor(), run(this->shared_from_this()), asio::detached);
    }
    // Takes `self` as a parameter: a coroutine must not rely on a lambda's captures, which die first.
    static Task<void> run(std::shared_ptr<SharedTask> self) {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await self->factory_();
            } else {
                self->result_.emplace(co_await self->factory_());
            }
        } catch (...) {
            self->error_ = std::current_exception();
        }
        std::vector<Continuation<T>> ws;
        {
            std::lock_guard lock(self->mutex_);
            self->done_ = true;
            ws.swap(self->waiters_);
        }
        for (auto& w : ws) self->deliver(w);
    }
    void deliver(Continuation<T>& c) {
        if (error_) {
            c.resumeThrowing(error_);
        } else if constexpr (std::is_void_v<T>) {
            c.resume();
        } else {
            c.resume(*result_);
        }
    }

    std::shared_ptr<DispatchQueue> queue_;
    Factory factory_;
    mutable std::mutex mutex_;
    bool started_ = false;
    bool done_ = false;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result_;
    std::exception_ptr error_;
    std::vector<Continuation<T>> waiters_;
};

// An actor: its isolated methods run one at a time on its own serial queue. Like any actor, an
// isolated method that suspends lets another one run meanwhile.
class Actor {
public:
    explicit Actor(std::string label) : queue_(DispatchQueue::make(std::move(label))) {}
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

    // Runs the body on the actor's queue and returns its result to the caller's executor.
    template <class F> auto isolated(F body) -> decltype(body()) {
        using T = typename decltype(body())::value_type;
        if constexpr (std::is_void_v<T>) {
            co_await asio::co_spawn(queue_->executor(), body(), asio::use_awaitable);
        } else if constexpr (std::is_same_v<detail::Carried<T>, T>) {
            co_return co_await asio::co_spawn(queue_->executor(), body(), asio::use_awaitable);
        } else {
            co_return detail::uncarried<T>(
                co_await asio::co_spawn(queue_->executor(), detail::carried<T>(body()), asio::use_awaitable));
        }
    }

private:
    std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace brisko::platform
