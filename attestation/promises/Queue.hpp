// Where promise callbacks run: a platform dispatch queue (serial or main), or a concurrent queue over
// a thread pool of its own; and the timers that the timed operators wait on.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "attestation/promises/InlineFunction.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace asio {
class thread_pool;
}

namespace brisko::promises {

using Duration = std::chrono::steady_clock::duration;

namespace detail {
// An interval in seconds as the timers wait it, in whole nanoseconds as a dispatch time is computed.
// A NaN or negative interval waits not at all and one beyond a hundred years (never, in practice) waits
// that long, so no deadline overflows: a plain conversion of such a double is undefined behaviour.
inline Duration secondsToDuration(double seconds) {
    constexpr Duration kLongest = std::chrono::hours(24 * 365 * 100);
    return std::clamp(platform::durationFromSeconds<Duration>(seconds), Duration::zero(), kLongest);
}
}  // namespace detail
using Work = platform::UniqueFunction<void()>;
// Work kept inline, as the promise library's own tasks are: a pool queue keeps it in its task, with no
// allocation of its own, and every such task has the same size, which lets the pool reuse its memory.
using InlineWork = detail::InlineFunction<void(), 96>;

// A pool of worker threads for queues that must not share the platform's pool (the await queue, and
// tests that run promises on one or two threads).
class ThreadPool {
public:
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    asio::thread_pool& pool() { return *pool_; }
    std::size_t threadCount() const { return threads_; }

private:
    std::unique_ptr<asio::thread_pool> pool_;
    std::size_t threads_;
};

// A cheap, copyable handle to a queue. An empty handle is "no queue" (a programming error where a
// queue is required).
class Queue {
public:
    struct Impl;

    Queue() = default;
    // A platform queue: serial queues of the shared pool and the main queue.
    Queue(std::shared_ptr<platform::DispatchQueue> queue);  // NOLINT: implicit on purpose

    // The main queue.
    static Queue main();
    // The global concurrent queues: default and utility quality of service share one pool of their own.
    static Queue global();
    static Queue globalUtility();
    // A concurrent queue over the given pool: work items may run at once on different threads.
    static Queue concurrent(std::string label, std::shared_ptr<ThreadPool> pool);
    // A serial queue over the given pool.
    static Queue serial(std::string label, std::shared_ptr<ThreadPool> pool);

    explicit operator bool() const { return static_cast<bool>(impl_); }
    const std::string& label() const;
    bool isSerial() const;
    // Submits the work; it always runs later, never inside this call.
    void async(Work work) const;
    // The same for work kept inline (the promise library's own tasks).
    void asyncInline(InlineWork&& work) const;

    bool operator==(const Queue& other) const { return impl_ == other.impl_; }

private:
    explicit Queue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    // A handle that does not keep the queue alive, copied without counting: only for queues that live
    // for the whole process.
    Queue uncounted() const;
    std::shared_ptr<Impl> impl_;
};

// Runs timer-driven steps (delay, timeout, the waits of retry) on a queue after an interval. The
// process's source is a real steady-clock timer; tests install a ManualTimerSource.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    virtual void after(const Queue& queue, Duration delay, Work work) = 0;
};

std::shared_ptr<TimerSource> timerSource();
// Installs a source (nullptr restores the real one); returns the previous one.
std::shared_ptr<TimerSource> setTimerSource(std::shared_ptr<TimerSource> source);

// A timer source whose time moves only when told: advancing submits every step that has come due to
// its queue, in the order of their due times.
class ManualTimerSource : public TimerSource {
public:
    void after(const Queue& queue, Duration delay, Work work) override;
    void advance(Duration by);
    Duration elapsed() const;
    std::size_t pendingCount() const;
    // The due times (from the start of this source) of the steps still waiting, earliest first.
    std::vector<Duration> pendingDueTimes() const;

private:
    struct Entry {
        Duration due;
        std::uint64_t order;
        Queue queue;
        std::shared_ptr<Work> work;
    };
    mutable std::mutex mutex_;
    Duration now_{};
    std::uint64_t nextOrder_ = 0;
    std::vector<Entry> entries_;
};

// Installs a timer source for the lifetime of this object.
class ScopedTimerSource {
public:
    explicit ScopedTimerSource(std::shared_ptr<TimerSource> source) : previous_(setTimerSource(std::move(source))) {}
    ~ScopedTimerSource() { setTimerSource(previous_); }
    ScopedTimerSource(const ScopedTimerSource&) = delete;
    ScopedTimerSource& operator=(const ScopedTimerSource&) = delete;

private:
    std::shared_ptr<TimerSource> previous_;
};

}  // namespace brisko::promises
