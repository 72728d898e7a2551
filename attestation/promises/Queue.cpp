// Queue handles over platform queues and over pools of their own, and the timer sources.
#include "attestation/promises/Queue.hpp"

#include "attestation/promises/BlockPool.hpp"

#include <algorithm>
#include <thread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

namespace brisko::promises {

namespace {

constexpr std::string_view kGlobalDefaultQueueLabel = "com.apple.root.default-qos";
constexpr std::string_view kGlobalUtilityQueueLabel = "com.apple.root.utility-qos";

// The pool of the global concurrent queues and of the real timers; it lives for the whole process.
const std::shared_ptr<ThreadPool>& globalPool() {
    static const auto* pool = new std::shared_ptr<ThreadPool>(
        std::make_shared<ThreadPool>(std::max(2u, std::thread::hardware_concurrency())));
    return *pool;
}

}  // namespace

ThreadPool::ThreadPool(std::size_t threads)
    : pool_(std::make_unique<asio::thread_pool>(std::max<std::size_t>(1, threads))),
      threads_(std::max<std::size_t>(1, threads)) {}

ThreadPool::~ThreadPool() {
    if (pool_->get_executor().running_in_this_thread()) {
        // The last owner let go from inside one of the pool's own threads, which cannot wait for itself:
        // the threads end once their current work returns, and a thread of its own waits and frees them.
        pool_->stop();
        std::thread([pool = pool_.release()] {
            pool->join();
            delete pool;
        }).detach();
        return;
    }
    pool_->join();
}

struct Queue::Impl {
    explicit Impl(std::string l) : label(std::move(l)) {}
    virtual ~Impl() = default;
    virtual void async(Work work) = 0;
    virtual void asyncInline(InlineWork&& work) = 0;
    virtual bool isSerial() const = 0;
    std::string label;
};

namespace {

struct PlatformQueue final : Queue::Impl {
    explicit PlatformQueue(std::shared_ptr<platform::DispatchQueue> q) : Impl(q->label()), queue(std::move(q)) {}
    void async(Work work) override { queue->async(std::move(work)); }
    void asyncInline(InlineWork&& work) override { queue->async(Work(std::move(work))); }
    bool isSerial() const override { return true; }
    std::shared_ptr<platform::DispatchQueue> queue;
};

// The promise library's own work as a pool's task, whose memory comes from the recycled blocks: such
// tasks are mostly posted on one thread and run on another.
struct PooledWork {
    using allocator_type = detail::PoolAllocator<void>;
    allocator_type get_allocator() const noexcept { return {}; }
    void operator()() { work(); }
    InlineWork work;
};

template <class Executor> struct PoolQueue final : Queue::Impl {
    PoolQueue(std::string l, std::shared_ptr<ThreadPool> p, Executor e, bool s)
        : Impl(std::move(l)), pool(std::move(p)), executor(std::move(e)), serial(s) {}
    void async(Work work) override { asio::post(executor, std::move(work)); }
    void asyncInline(InlineWork&& work) override { asio::post(executor, PooledWork{std::move(work)}); }
    bool isSerial() const override { return serial; }
    std::shared_ptr<ThreadPool> pool;  // kept alive while the queue is
    Executor executor;
    bool serial;
};

using ConcurrentImpl = PoolQueue<asio::thread_pool::executor_type>;
using SerialImpl = PoolQueue<asio::strand<asio::thread_pool::executor_type>>;

}  // namespace

Queue::Queue(std::shared_ptr<platform::DispatchQueue> queue) {
    if (queue) impl_ = std::make_shared<PlatformQueue>(std::move(queue));
}

Queue Queue::uncounted() const {
    return Queue(std::shared_ptr<Impl>(std::shared_ptr<Impl>(), impl_.get()));
}

// The process-wide queues are kept for good, and the handles given out share no count with them:
// copying one touches no atomic, which matters for the queues that every thread copies for every
// callback.
Queue Queue::main() {
    static const auto* kept = new Queue(platform::DispatchQueue::main());
    static const Queue q = kept->uncounted();
    return q;
}

Queue Queue::global() {
    static const auto* kept = new Queue(concurrent(std::string(kGlobalDefaultQueueLabel), globalPool()));
    static const Queue q = kept->uncounted();
    return q;
}

Queue Queue::globalUtility() {
    static const auto* kept = new Queue(concurrent(std::string(kGlobalUtilityQueueLabel), globalPool()));
    static const Queue q = kept->uncounted();
    return q;
}

Queue Queue::concurrent(std::string label, std::shared_ptr<ThreadPool> pool) {
    auto executor = pool->pool().get_executor();
    return Queue(std::make_shared<ConcurrentImpl>(std::move(label), std::move(pool), executor, false));
}

Queue Queue::serial(std::string label, std::shared_ptr<ThreadPool> pool) {
    auto strand = asio::make_strand(pool->pool().get_executor());
    return Queue(std::make_shared<SerialImpl>(std::move(label), std::move(pool), std::move(strand), true));
}

const std::string& Queue::label() const {
    static const std::string kNone;
    return impl_ ? impl_->label : kNone;
}

bool Queue::isSerial() const {
    return impl_ && impl_->isSerial();
}

void Queue::async(Work work) const {
    impl_->async(std::move(work));
}

void Queue::asyncInline(InlineWork&& work) const {
    impl_->asyncInline(std::move(work));
}

// MARK: - Timers

namespace {

class SteadyTimerSource final : public TimerSource {
public:
    void after(const Queue& queue, Duration delay, Work work) override {
        auto timer = std::make_shared<asio::steady_timer>(globalPool()->pool(), delay);
        timer->async_wait([timer, queue, w = std::move(work)](const std::error_code& ec) mutable {
            if (!ec) queue.async(std::move(w));
        });
    }
};

struct TimerSourceSlot {
    std::mutex mutex;
    std::shared_ptr<TimerSource> source = std::make_shared<SteadyTimerSource>();
};

TimerSourceSlot& timerSlot() {
    static auto* slot = new TimerSourceSlot;
    return *slot;
}

}  // namespace

std::shared_ptr<TimerSource> timerSource() {
    auto& slot = timerSlot();
    std::lock_guard lock(slot.mutex);
    return slot.source;
}

std::shared_ptr<TimerSource> setTimerSource(std::shared_ptr<TimerSource> source) {
    auto& slot = timerSlot();
    std::lock_guard lock(slot.mutex);
    auto previous = std::move(slot.source);
    slot.source = source ? std::move(source) : std::make_shared<SteadyTimerSource>();
    return previous;
}

void ManualTimerSource::after(const Queue& queue, Duration delay, Work work) {
    std::lock_guard lock(mutex_);
    entries_.push_back(
        Entry{now_ + std::max(delay, Duration::zero()), nextOrder_++, queue, std::make_shared<Work>(std::move(work))});
}

void ManualTimerSource::advance(Duration by) {
    std::vector<Entry> due;
    {
        std::lock_guard lock(mutex_);
        now_ += by;
        auto split =
            std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.due > now_; });
        due.assign(std::make_move_iterator(split), std::make_move_iterator(entries_.end()));
        entries_.erase(split, entries_.end());
    }
    std::sort(due.begin(), due.end(),
              [](const Entry& a, const Entry& b) { return a.due != b.due ? a.due < b.due : a.order < b.order; });
    for (auto& e : due) e.queue.async([w = e.work] { (*w)(); });
}

Duration ManualTimerSource::elapsed() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::size_t ManualTimerSource::pendingCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::vector<Duration> ManualTimerSource::pendingDueTimes() const {
    std::lock_guard lock(mutex_);
    std::vector<Duration> out;
    for (const auto& e : entries_) out.push_back(e.due);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace brisko::promises
