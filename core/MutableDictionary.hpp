// A dictionary shared between threads: reads run synchronously and writes asynchronously on its own
// serial queue, so a read issued after a write from the same thread sees it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Dispatch.hpp"

namespace brisko::core {

inline constexpr std::string_view kMutableDictionaryQueueLabel = "EULMutableDictionary";

template <class Key, class Value>
class MutableDictionary {
  public:
    using Map = std::map<Key, Value, std::less<>>;

    MutableDictionary()
        : objects_(std::make_shared<Map>()),
          queue_(platform::DispatchQueue::make(std::string(kMutableDictionaryQueueLabel))) {}

    // Reads must not be issued from a block already running on this dictionary's queue.
    std::optional<Value> objectForKey(const Key& key) const {
        return queue_->syncResult([&]() -> std::optional<Value> {
            auto it = objects_->find(key);
            if (it == objects_->end()) return std::nullopt;
            return it->second;
        });
    }
    std::optional<Value> operator[](const Key& key) const { return objectForKey(key); }
    std::size_t count() const {
        return queue_->syncResult([&] { return objects_->size(); });
    }
    // An independent copy of the contents.
    Map dictionary() const {
        return queue_->syncResult([&] { return *objects_; });
    }

    void setObject(Value value, Key key) {
        queue_->async([objects = objects_, key = std::move(key), value = std::move(value)]() mutable {
            (*objects)[std::move(key)] = std::move(value);
        });
    }
    void removeObjectForKey(Key key) {
        queue_->async([objects = objects_, key = std::move(key)] { objects->erase(key); });
    }
    void removeAllObjects() {
        queue_->async([objects = objects_] { objects->clear(); });
    }

  private:
    // Shared with queued writes, which may run after this object is gone.
    std::shared_ptr<Map> objects_;
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace brisko::core
