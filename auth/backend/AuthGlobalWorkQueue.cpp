// The identity client's serial work queue.
#include "auth/backend/AuthGlobalWorkQueue.hpp"

#include <string>

namespace brisko::auth {

const std::shared_ptr<platform::DispatchQueue>& authGlobalWorkQueue() {
    static const auto* queue = new std::shared_ptr<platform::DispatchQueue>(
        platform::DispatchQueue::make(std::string(kAuthGlobalWorkQueueLabel)));
    return *queue;
}

}  // namespace brisko::auth
