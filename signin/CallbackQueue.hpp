// A queue that runs a sign-in flow's steps in order and lets a step pause the rest until an
// asynchronous call returns. Main thread only.
#pragma once

#include <deque>
#include <functional>
#include <memory>

namespace brisko::signin {

class CallbackQueue : public std::enable_shared_from_this<CallbackQueue> {
public:
    using Callback = std::function<void()>;

    virtual ~CallbackQueue() = default;

    // Appends a step; an idle queue runs it at once, on the caller's stack. An empty step is ignored.
    void addCallback(Callback callback);
    // One more outstanding wait: the queue pauses after the running step and keeps itself alive.
    void wait();
    // One wait fewer; the last one resumes the queue. Does nothing when nothing waits.
    void next();
    // Drops every step and every wait.
    void reset();
    // Runs steps until one waits or none remain; a run under way is not nested.
    void fire();

private:
    bool firing_ = false;
    int pending_ = 0;
    std::deque<Callback> queue_;
    std::shared_ptr<CallbackQueue> strongSelf_;
};

}  // namespace brisko::signin
