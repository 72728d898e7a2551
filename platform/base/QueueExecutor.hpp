// The Asio executor of a dispatch queue: runs work through an inner executor and marks the queue as
// current while it runs, so code inside coroutines knows which queue it is on.
#pragma once

#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/execution.hpp>
#include <asio/execution_context.hpp>
#include <asio/require.hpp>

namespace brisko::platform {

class DispatchQueue;

namespace detail {
// Sets the thread's current queue for the lifetime of the object.
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(DispatchQueue* q);
    ~CurrentQueueScope();
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    DispatchQueue* previous_;
};
}  // namespace detail

class QueueExecutor {
public:
    QueueExecutor(asio::any_io_executor inner, DispatchQueue* queue)
        : inner_(asio::require(std::move(inner), asio::execution::blocking.never)), queue_(queue) {}

    template <class F>
    void execute(F&& f) const {
        inner_.execute([q = queue_, f = std::forward<F>(f)]() mutable {
            detail::CurrentQueueScope scope(q);
            std::move(f)();
        });
    }

    asio::execution_context& query(asio::execution::context_t) const noexcept {
        return asio::query(inner_, asio::execution::context);
    }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    QueueExecutor require(asio::execution::blocking_t::never_t) const { return *this; }
    QueueExecutor prefer(asio::execution::blocking_t::possibly_t) const { return *this; }
    QueueExecutor prefer(asio::execution::outstanding_work_t::tracked_t t) const {
        return QueueExecutor(asio::prefer(inner_, t), queue_, 0);
    }
    QueueExecutor prefer(asio::execution::outstanding_work_t::untracked_t t) const {
        return QueueExecutor(asio::prefer(inner_, t), queue_, 0);
    }
    QueueExecutor prefer(asio::execution::relationship_t::fork_t) const { return *this; }
    QueueExecutor prefer(asio::execution::relationship_t::continuation_t) const { return *this; }

    DispatchQueue* queue() const noexcept { return queue_; }

    friend bool operator==(const QueueExecutor& a, const QueueExecutor& b) noexcept {
        return a.queue_ == b.queue_ && a.inner_ == b.inner_;
    }
    friend bool operator!=(const QueueExecutor& a, const QueueExecutor& b) noexcept { return !(a == b); }

private:
    QueueExecutor(asio::any_io_executor inner, DispatchQueue* queue, int) : inner_(std::move(inner)), queue_(queue) {}
    asio::any_io_executor inner_;
    DispatchQueue* queue_;
};

}  // namespace brisko::platform
