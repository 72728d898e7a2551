// A value guarded by one non-recursive, non-fair lock: a locked copy and a locked in-place update.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/base/Error.hpp"

namespace brisko::core {

template <class Value>
class UnfairLock {
  public:
    explicit UnfairLock(Value value) : cell_(std::make_unique<Cell>()), value_(std::move(value)) {}
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // A copy of the value read under the lock.
    Value value() const {
        Guard guard(*cell_);
        return value_;
    }

    // Runs the body with in-place access to the value while holding the lock; the body's result is
    // returned and its exceptions pass on after the lock is released.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        Guard guard(*cell_);
        return std::forward<Body>(body)(value_);
    }

  private:
    // The lock lives in its own heap cell so its address never changes while in use.
    struct Cell {
        std::mutex mutex;
        std::atomic<std::thread::id> owner{};
    };
    // Taking the lock twice on one thread would deadlock silently; stop with a message instead.
    struct Guard {
        explicit Guard(Cell& c) : cell(c) {
            if (cell.owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
                platform::fatal("UnfairLock: the lock is already held by this thread");
            }
            cell.mutex.lock();
            cell.owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Guard() {
            cell.owner.store(std::thread::id(), std::memory_order_relaxed);
            cell.mutex.unlock();
        }
        Cell& cell;
    };

    std::unique_ptr<Cell> cell_;
    Value value_;
};

}  // namespace brisko::core
