// Notification centres: named notifications with an object and user info, delivered to observers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

struct Notification {
    std::string name;
    std::shared_ptr<const void> object;  // compared by identity
    Dictionary userInfo;
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    // The default centre and the workspace centre (sleep, wake and other desktop events).
    static NotificationCenter& defaultCenter();
    static NotificationCenter& workspaceCenter();

    // Observes notifications of that name (any name when empty) from that object (any object when null).
    // With a queue the observer runs there; delivery is inline when the post happens on that queue
    // (for the main queue: on the main thread). Without a queue the observer runs on the posting thread.
    Token addObserver(std::optional<std::string> name, const void* object, std::shared_ptr<DispatchQueue> queue,
                      Observer observer);
    void removeObserver(Token token);

    void post(const Notification& notification);
    void post(std::string name, std::shared_ptr<const void> object = nullptr, Dictionary userInfo = {});
    // Whether a notification of that name from that object would reach an observer now.
    bool hasObservers(std::string_view name, const void* object);

private:
    struct Entry {
        bool matches(std::string_view postedName, const void* postedObject) const {
            return (!name || *name == postedName) && (!object || object == postedObject);
        }
        Token token;
        std::optional<std::string> name;
        const void* object;
        std::shared_ptr<DispatchQueue> queue;
        std::shared_ptr<Observer> observer;
        std::shared_ptr<std::atomic<bool>> alive;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 1;
};

// Removes an observer when destroyed.
class ObserverRegistration {
public:
    ObserverRegistration() = default;
    ObserverRegistration(NotificationCenter& c, NotificationCenter::Token t) : center_(&c), token_(t) {}
    ObserverRegistration(ObserverRegistration&& o) noexcept { *this = std::move(o); }
    ObserverRegistration& operator=(ObserverRegistration&& o) noexcept {
        reset();
        center_ = o.center_;
        token_ = o.token_;
        o.center_ = nullptr;
        return *this;
    }
    ~ObserverRegistration() { reset(); }
    void reset() {
        if (center_) center_->removeObserver(token_);
        center_ = nullptr;
    }

private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace brisko::platform
