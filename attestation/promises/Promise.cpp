// The promise library's process-wide state: the pending-work group, the default queue, the group wait
// and the programming-error reports.
#include "attestation/promises/Promise.hpp"

#include <chrono>
#include <cstdio>

#include "platform/base/Text.hpp"

namespace brisko::promises {

void PromiseGroup::leave() noexcept {
    if (count_.fetch_sub(1) == 1 && waiters_.load() > 0) {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }
}

bool PromiseGroup::wait(Duration timeout) {
    waiters_.fetch_add(1);
    std::unique_lock lock(mutex_);
    bool empty = cv_.wait_for(lock, timeout, [&] { return count_.load() == 0; });
    lock.unlock();
    waiters_.fetch_sub(1);
    return empty;
}

PromiseGroup& dispatchGroup() {
    static auto* group = new PromiseGroup;
    return *group;
}

namespace {

struct DefaultQueueSlot {
    std::mutex mutex;
    Queue queue = Queue::main();
};

DefaultQueueSlot& defaultQueueSlot() {
    static auto* slot = new DefaultQueueSlot;
    return *slot;
}

}  // namespace

Queue defaultDispatchQueue() {
    auto& slot = defaultQueueSlot();
    std::lock_guard lock(slot.mutex);
    return slot.queue;
}

void setDefaultDispatchQueue(Queue queue) {
    detail::requireQueue(queue);
    auto& slot = defaultQueueSlot();
    std::lock_guard lock(slot.mutex);
    slot.queue = std::move(queue);
}

bool waitForGroup(double timeoutSeconds) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + detail::secondsToDuration(timeoutSeconds);
    constexpr auto kPoll = milliseconds(10);
    auto& group = dispatchGroup();
    if (group.wait(kPoll)) return true;
    while (true) {
        if (steady_clock::now() > deadline) return false;
        // Work of the main queue may be what the group waits for: let it run on the main thread.
        if (platform::isMainThread()) {
            platform::MainLoop::runUntil([&] { return group.count() == 0; }, kPoll);
        } else {
            group.wait(kPoll);
        }
        if (group.count() == 0) return true;
    }
}

namespace detail {

void invalidParameter(std::string_view name) {
    raise(platform::format(kInvalidParameterFormat, {std::string(name)}));
}

void raise(std::string_view reason) {
    throw platform::ProgrammingException(std::string(kInternalInconsistencyException), std::string(reason));
}

std::optional<Error> errorIn(const platform::Value& value) {
    if (auto e = value.error()) return *e;
    return std::nullopt;
}

std::string describe(const Nothing&) {
    return "(null)";
}

std::string describeAddress(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

}  // namespace detail

}  // namespace brisko::promises
