// The await queue: concurrent, on two threads that nothing else uses.
#include "attestation/promises/Await.hpp"

namespace brisko::promises {

Queue awaitQueue() {
    static const Queue queue = Queue::concurrent(std::string(kAwaitQueueLabel), std::make_shared<ThreadPool>(2));
    return queue;
}

}  // namespace brisko::promises
