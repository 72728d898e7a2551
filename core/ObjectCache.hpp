// A small evicting cache of objects by key: beyond its count limit the least recently used goes.
// Not thread-safe: its owner serialises access.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace brisko::core {

template <class Object>
class ObjectCache {
  public:
    explicit ObjectCache(std::size_t countLimit = 0) : countLimit_(countLimit) {}

    std::optional<Object> objectForKey(const std::string& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return std::nullopt;
        order_.splice(order_.begin(), order_, it->second);
        return it->second->second;
    }
    void setObject(Object object, const std::string& key) {
        if (auto it = index_.find(key); it != index_.end()) {
            it->second->second = std::move(object);
            order_.splice(order_.begin(), order_, it->second);
        } else {
            order_.emplace_front(key, std::move(object));
            index_[key] = order_.begin();
        }
        while (countLimit_ > 0 && order_.size() > countLimit_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
    }
    void removeObjectForKey(const std::string& key) {
        if (auto it = index_.find(key); it != index_.end()) {
            order_.erase(it->second);
            index_.erase(it);
        }
    }
    void removeAllObjects() {
        order_.clear();
        index_.clear();
    }
    std::size_t count() const { return order_.size(); }
    std::size_t countLimit() const { return countLimit_; }

  private:
    std::size_t countLimit_;  // 0: no limit
    std::list<std::pair<std::string, Object>> order_;
    std::map<std::string, typename std::list<std::pair<std::string, Object>>::iterator> index_;
};

}  // namespace brisko::core
