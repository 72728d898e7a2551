// Detached coroutine start-up with logging of escaping failures.
#include "platform/base/Async.hpp"

#include "platform/base/Log.hpp"

namespace brisko::platform {

void spawnDetached(const std::shared_ptr<DispatchQueue>& queue, Task<void> task, std::string what) {
    asio::co_spawn(queue->executor(), std::move(task), [what = std::move(what)](std::exception_ptr e) {
        if (!e) return;
        log(LogLevel::error, "async",
            (what.empty() ? std::string("task") : what) + " failed: " + errorFromException(e).description());
    });
}

}  // namespace brisko::platform
