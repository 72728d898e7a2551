// Serial dispatch queues on one shared thread pool, the main queue, groups and queue-bound timers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "platform/base/PostingExecutor.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

using Duration = std::chrono::steady_clock::duration;

// A labelled serial queue: work items run one at a time, in order. Queues are cheap; the threads are
// shared. The main queue runs on the main thread (Qt's event loop in the app, MainLoop elsewhere).
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    using Work = UniqueFunction<void()>;

    // A new serial queue on the shared pool.
    static std::shared_ptr<DispatchQueue> make(std::string label);
    // A serial queue over an executor that already runs one item at a time (an io_context run by one
    // thread, say), so that work queued on it runs on that executor's thread.
    static std::shared_ptr<DispatchQueue> on(std::string label, asio::any_io_executor serialExecutor);
    // The main queue of the process.
    static std::shared_ptr<DispatchQueue> main();
    // The queue whose work is running on this thread, or nullptr.
    static DispatchQueue* current();

    const std::string& label() const { return label_; }
    bool isMain() const { return isMain_; }
    // True when called from work running on this queue (for the main queue: on the main thread).
    bool isCurrent() const;

    void async(Work work);
    // Runs the work on this queue and waits for it. Calling it from the queue itself is a programming
    // error: debug builds stop with a message, release builds run the work inline.
    void sync(Work work);
    template <class F> auto syncResult(F&& f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(Work(std::forward<F>(f)));
        } else {
            std::optional<R> out;
            sync([&] { out.emplace(f()); });
            return std::move(*out);
        }
    }
    // Runs the work on this queue once the delay has passed.
    void after(Duration delay, Work work);

    // The Asio executor of the queue, for coroutines bound to it; work run through it sees this queue
    // as current.
    asio::any_io_executor executor() const;

    ~DispatchQueue();

private:
    DispatchQueue(std::string label, asio::any_io_executor inner, bool isMain);
    bool servedByOneThread() const;
    friend class MainLoop;

    std::string label_;
    asio::any_io_executor inner_;  // unused for the main queue, whose executor is looked up each time
    // The same executor, kept as itself where it is one of the kinds queues run on, so that posting
    // work goes straight to it rather than through the type-erased executor (which allocates on copy).
    std::optional<asio::strand<asio::thread_pool::executor_type>> poolStrand_;
    std::optional<asio::io_context::executor_type> contextExecutor_;
    std::optional<PostingExecutor> postingExecutor_;
    bool isMain_;
};

// Runs work on the main queue, inline when already on the main thread.
void runOnMain(DispatchQueue::Work work);
bool isMainThread();

// The main queue's loop. In the app, Qt's event loop drives it through an executor installed at start;
// in tests and headless tools an io_context is run by the main thread with the calls below.
class MainLoop {
public:
    // Installs the executor that runs main-queue work (called once, by the app, before any use).
    static void installExecutor(asio::any_io_executor executor);
    // The io_context used when no executor was installed.
    static asio::io_context& context();

    // Runs main-queue work on this thread until the predicate holds or the timeout passes; true when
    // the predicate held.
    static bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::seconds(10));
    static void runFor(Duration d);
    // Runs whatever main-queue work is ready now.
    static void drain();
};

// A group of work items: enter/leave pairs, notification when the count returns to zero.
class DispatchGroup {
public:
    void enter();
    void leave();
    void notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Work work);
    // Waits (blocking this thread) until the group is empty; false on timeout.
    bool wait(Duration timeout = Duration::max());

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Work>> notifications_;
};

// A timer bound to a queue. The first fire comes one interval after scheduling; a repeating timer then
// fires every interval until invalidated. A scheduled timer keeps itself alive until invalidated or,
// when it does not repeat, until it has fired.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    static std::shared_ptr<Timer> scheduled(std::shared_ptr<DispatchQueue> queue, Duration interval, bool repeats,
                                            std::function<void()> action);
    void invalidate();
    bool isValid() const { return valid_.load(); }
    Duration interval() const { return interval_; }
    // Runs the action now on the calling thread, without changing the schedule (tests use it).
    void fire();

    struct State;
    ~Timer();

private:
    Timer() = default;
    void arm();
    std::shared_ptr<DispatchQueue> queue_;
    Duration interval_{};
    bool repeats_ = false;
    std::function<void()> action_;
    std::atomic<bool> valid_{true};
    std::shared_ptr<State> state_;
};

}  // namespace brisko::platform
