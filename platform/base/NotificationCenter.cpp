// Notification centres: observers filtered by name and object, delivered on their queue.
#include "platform/base/NotificationCenter.hpp"

#include <algorithm>

namespace brisko::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static auto* c = new NotificationCenter;
    return *c;
}

NotificationCenter& NotificationCenter::workspaceCenter() {
    static auto* c = new NotificationCenter;
    return *c;
}

NotificationCenter::Token NotificationCenter::addObserver(std::optional<std::string> name, const void* object,
                                                          std::shared_ptr<DispatchQueue> queue, Observer observer) {
    std::lock_guard lock(mutex_);
    Token t = next_++;
    entries_.push_back(Entry{t, std::move(name), object, std::move(queue),
                             std::make_shared<Observer>(std::move(observer)), std::make_shared<std::atomic<bool>>(true)});
    return t;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
    if (it == entries_.end()) return;
    // A delivery already queued for this observer is dropped.
    it->alive->store(false);
    entries_.erase(it);
}

void NotificationCenter::post(const Notification& n) {
    std::vector<Entry> matching;
    {
        std::lock_guard lock(mutex_);
        for (auto& e : entries_) {
            if (e.matches(n.name, n.object.get())) matching.push_back(e);
        }
    }
    // Observers run outside the lock so they may add or remove observers and post again.
    for (auto& e : matching) {
        if (!e.queue || e.queue->isCurrent()) {
            if (e.alive->load()) (*e.observer)(n);
        } else {
            e.queue->async([obs = e.observer, alive = e.alive, n]() {
                if (alive->load()) (*obs)(n);
            });
        }
    }
}

bool NotificationCenter::hasObservers(std::string_view name, const void* object) {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.matches(name, object); });
}

void NotificationCenter::post(std::string name, std::shared_ptr<const void> object, Dictionary userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

}  // namespace brisko::platform
