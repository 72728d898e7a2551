// An Asio executor over a loop of our own that takes work through a function: a dispatch queue over it
// hands each item straight to the loop, boxed once (UniqueFunction keeps small handlers inline).
#pragma once

#include <utility>

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

class PostingExecutor {
public:
    // `post` queues the work on `loop`, from any thread; the loop runs it later, never inline.
    using Post = void (*)(void* loop, UniqueFunction<void()> work);

    PostingExecutor(asio::execution_context& context, Post post, void* loop) noexcept
        : context_(&context), post_(post), loop_(loop) {}

    void post(UniqueFunction<void()> work) const { post_(loop_, std::move(work)); }

    template <class F>
    void execute(F&& f) const {
        post_(loop_, UniqueFunction<void()>(std::forward<F>(f)));
    }

    // The context that Asio objects made with this executor belong to. The loop does not run it: it is a
    // plain execution context, whose services run on Asio's own thread and complete through this executor.
    asio::execution_context& query(asio::execution::context_t) const noexcept { return *context_; }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    PostingExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }
    PostingExecutor prefer(asio::execution::blocking_t::possibly_t) const noexcept { return *this; }
    // The loop runs for the life of the process: there is no outstanding work to track.
    PostingExecutor prefer(asio::execution::outstanding_work_t::tracked_t) const noexcept { return *this; }
    PostingExecutor prefer(asio::execution::outstanding_work_t::untracked_t) const noexcept { return *this; }
    PostingExecutor prefer(asio::execution::relationship_t::fork_t) const noexcept { return *this; }
    PostingExecutor prefer(asio::execution::relationship_t::continuation_t) const noexcept { return *this; }

    friend bool operator==(const PostingExecutor& a, const PostingExecutor& b) noexcept {
        return a.loop_ == b.loop_ && a.post_ == b.post_;
    }
    friend bool operator!=(const PostingExecutor& a, const PostingExecutor& b) noexcept { return !(a == b); }

private:
    asio::execution_context* context_;
    Post post_;
    void* loop_;
};

}  // namespace brisko::platform
