// An Asio executor that runs work on Qt's main thread through the application's event loop; the app
// installs it with MainLoop::installExecutor so the main queue and co_spawn'ed coroutines run there.
#pragma once

#include <utility>

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

class QtMainExecutor {
  public:
    QtMainExecutor() = default;

    template <class F>
    void execute(F&& f) const {
        post(UniqueFunction<void()>(std::forward<F>(f)));
    }

    // Queues the work on the main thread's event loop. Needs a QCoreApplication; work still queued
    // when the application object is destroyed is dropped without running.
    static void post(UniqueFunction<void()> work);

    asio::execution_context& query(asio::execution::context_t) const noexcept;
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    QtMainExecutor require(asio::execution::blocking_t::never_t) const { return *this; }
    QtMainExecutor prefer(asio::execution::blocking_t::possibly_t) const { return *this; }
    QtMainExecutor prefer(asio::execution::outstanding_work_t::tracked_t) const { return *this; }
    QtMainExecutor prefer(asio::execution::outstanding_work_t::untracked_t) const { return *this; }
    QtMainExecutor prefer(asio::execution::relationship_t::fork_t) const { return *this; }
    QtMainExecutor prefer(asio::execution::relationship_t::continuation_t) const { return *this; }

    friend bool operator==(const QtMainExecutor&, const QtMainExecutor&) noexcept { return true; }
    friend bool operator!=(const QtMainExecutor&, const QtMainExecutor&) noexcept { return false; }
};

}  // namespace brisko::platform
