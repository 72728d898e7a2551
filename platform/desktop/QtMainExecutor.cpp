// Posts work onto Qt's main thread through the application object's event queue.
#include "platform/desktop/QtMainExecutor.hpp"

#include <memory>

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/base/Error.hpp"

namespace brisko::platform {

void QtMainExecutor::post(UniqueFunction<void()> work) {
    auto* app = QCoreApplication::instance();
    if (!app) fatal("QtMainExecutor used without a QCoreApplication");
    // Qt copies the functor it queues; the work is move-only, so it travels behind a shared pointer.
    auto shared = std::make_shared<UniqueFunction<void()>>(std::move(work));
    QMetaObject::invokeMethod(
        app, [shared] { (*shared)(); }, Qt::QueuedConnection);
}

asio::execution_context& QtMainExecutor::query(asio::execution::context_t) const noexcept {
    // Asio keeps per-context services (timers) here. Never destroyed: a timer service's thread may
    // still run while static objects are torn down at exit.
    static auto* context = new asio::execution_context;
    return *context;
}

}  // namespace brisko::platform
