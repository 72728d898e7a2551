// The memory keychain: the shared item rules behind one lock, with injected failures.
#include "platform/storage/InMemoryKeychain.hpp"

#include "platform/base/Clock.hpp"

namespace brisko::platform {

std::optional<OSStatus> InMemoryKeychain::takeFailure(Operation operation) {
    ++calls_[operation];
    auto& queue = failures_[operation];
    if (queue.empty()) return std::nullopt;
    OSStatus status = queue.front();
    queue.erase(queue.begin());
    return status;
}

OSStatus InMemoryKeychain::copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) {
    std::lock_guard lock(mutex_);
    items.clear();
    if (auto f = takeFailure(Operation::copyMatching)) return *f;
    return list_.copyMatching(query, items);
}

OSStatus InMemoryKeychain::add(const KeychainItem& item) {
    std::lock_guard lock(mutex_);
    if (auto f = takeFailure(Operation::add)) return *f;
    return list_.add(item, now());
}

OSStatus InMemoryKeychain::update(const KeychainQuery& query, const KeychainItemChanges& changes) {
    std::lock_guard lock(mutex_);
    if (auto f = takeFailure(Operation::update)) return *f;
    return list_.update(query, changes, now());
}

OSStatus InMemoryKeychain::deleteItems(const KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    if (auto f = takeFailure(Operation::deleteItems)) return *f;
    return list_.deleteItems(query);
}

void InMemoryKeychain::failNext(Operation operation, OSStatus status, int times) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < times; ++i) failures_[operation].push_back(status);
}

int InMemoryKeychain::callCount(Operation operation) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<KeychainItem> InMemoryKeychain::allItems() const {
    std::lock_guard lock(mutex_);
    return list_.items;
}

void InMemoryKeychain::removeAll() {
    std::lock_guard lock(mutex_);
    list_.items.clear();
}

}  // namespace brisko::platform
