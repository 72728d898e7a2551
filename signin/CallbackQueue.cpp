// The pausable step queue.
#include "signin/CallbackQueue.hpp"

namespace brisko::signin {

void CallbackQueue::addCallback(Callback callback) {
    if (!callback) return;
    queue_.push_back(std::move(callback));
    if (pending_ == 0) fire();
}

void CallbackQueue::wait() {
    ++pending_;
    // A queue made with make_shared keeps itself alive while it waits; one on the stack cannot.
    if (!strongSelf_) strongSelf_ = weak_from_this().lock();
}

void CallbackQueue::next() {
    if (pending_ == 0) return;
    if (--pending_ == 0) {
        auto keepAlive = std::move(strongSelf_);
        fire();
    }
}

void CallbackQueue::reset() {
    queue_.clear();
    pending_ = 0;
    strongSelf_.reset();
}

void CallbackQueue::fire() {
    if (firing_) return;
    firing_ = true;
    while (pending_ == 0 && !queue_.empty()) {
        Callback step = std::move(queue_.front());
        queue_.pop_front();
        step();
    }
    firing_ = false;
}

}  // namespace brisko::signin
