// Dispatch queues as Asio strands on one shared pool, the main loop, groups and timers.
#include "platform/base/Dispatch.hpp"

#include <algorithm>
#include <exception>
#include <typeinfo>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "platform/base/Error.hpp"
#include "platform/base/QueueExecutor.hpp"

namespace brisko::platform {

namespace {

thread_local DispatchQueue* tCurrentQueue = nullptr;
const std::thread::id gMainThread = std::this_thread::get_id();

// The shared pool lives for the whole process; it is never torn down so late work cannot find it gone.
asio::thread_pool& pool() {
    static auto* p = new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
    return *p;
}

struct MainState {
    std::mutex mutex;
    std::optional<asio::any_io_executor> installed;
};
MainState& mainState() {
    static auto* s = new MainState;
    return *s;
}

asio::any_io_executor mainInner() {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    if (s.installed) return *s.installed;
    return MainLoop::context().get_executor();
}

}  // namespace

namespace detail {
CurrentQueueScope::CurrentQueueScope(DispatchQueue* q) : previous_(tCurrentQueue) {
    tCurrentQueue = q;
}
CurrentQueueScope::~CurrentQueueScope() {
    tCurrentQueue = previous_;
}
}  // namespace detail

DispatchQueue::DispatchQueue(std::string label, asio::any_io_executor inner, bool isMain)
    : label_(std::move(label)), inner_(std::move(inner)), isMain_(isMain) {
    if (isMain_ || !inner_) return;
    // Asio's target() casts without checking the type: compare it first.
    if (inner_.target_type() == typeid(asio::strand<asio::thread_pool::executor_type>)) {
        poolStrand_ = *inner_.target<asio::strand<asio::thread_pool::executor_type>>();
    } else if (inner_.target_type() == typeid(asio::io_context::executor_type)) {
        contextExecutor_ = *inner_.target<asio::io_context::executor_type>();
    } else if (inner_.target_type() == typeid(PostingExecutor)) {
        postingExecutor_ = *inner_.target<PostingExecutor>();
    }
}

DispatchQueue::~DispatchQueue() = default;

bool DispatchQueue::servedByOneThread() const {
    // Queues made by make() are strands on the shared pool; those made by on() run on a context of
    // their own with one thread.
    return !isMain_ && &asio::query(inner_, asio::execution::context) != &static_cast<asio::execution_context&>(pool());
}

std::shared_ptr<DispatchQueue> DispatchQueue::make(std::string label) {
    return std::shared_ptr<DispatchQueue>(
        new DispatchQueue(std::move(label), asio::make_strand(pool().get_executor()), false));
}

std::shared_ptr<DispatchQueue> DispatchQueue::on(std::string label, asio::any_io_executor serialExecutor) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), std::move(serialExecutor), false));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static auto q = std::shared_ptr<DispatchQueue>(new DispatchQueue("com.apple.main-thread", {}, true));
    return q;
}

DispatchQueue* DispatchQueue::current() {
    if (tCurrentQueue) return tCurrentQueue;
    return isMainThread() ? main().get() : nullptr;
}

bool DispatchQueue::isCurrent() const {
    if (isMain_) return isMainThread();
    return tCurrentQueue == this;
}

asio::any_io_executor DispatchQueue::executor() const {
    return QueueExecutor(isMain_ ? mainInner() : inner_, const_cast<DispatchQueue*>(this));
}

void DispatchQueue::async(Work work) {
    if (!isMain_ && !poolStrand_ && !contextExecutor_ && !postingExecutor_) {
        asio::post(executor(), [self = shared_from_this(), w = std::move(work)]() mutable { w(); });
        return;
    }
    // Straight to the executor the queue runs on, marking the queue current here: through executor() each
    // item would box the queue's executor and the work once more on top of that executor's own boxing.
    auto run = [self = shared_from_this(), w = std::move(work)]() mutable {
        detail::CurrentQueueScope scope(self.get());
        w();
    };
    if (poolStrand_) {
        asio::post(*poolStrand_, std::move(run));
    } else if (postingExecutor_) {
        postingExecutor_->post(std::move(run));
    } else if (contextExecutor_) {
        asio::post(*contextExecutor_, std::move(run));
    } else if (auto inner = mainInner(); inner.target_type() == typeid(asio::io_context::executor_type)) {
        asio::post(*inner.target<asio::io_context::executor_type>(), std::move(run));
    } else {
        asio::post(inner, std::move(run));
    }
}

void DispatchQueue::sync(Work work) {
    if (isCurrent()) {
#ifndef NDEBUG
        fatal("sync called on the queue it is running on: " + label_);
#else
        work();
        return;
#endif
    }
    // Another queue served by the same single thread (two queues over the network thread, say) cannot
    // run while this thread waits for it: running the work here keeps both serial and cannot deadlock.
    if (!isMain_ && tCurrentQueue && !tCurrentQueue->isMain_ && servedByOneThread() &&
        &asio::query(tCurrentQueue->inner_, asio::execution::context) ==
            &asio::query(inner_, asio::execution::context)) {
        detail::CurrentQueueScope scope(this);
        work();
        return;
    }
    // An exception is kept here and rethrown by the caller: the worker lets go of it before it signals, so
    // that only the caller's thread holds it afterwards (its reference counts live in the C++ runtime,
    // out of ThreadSanitizer's sight, and a last release on the worker would be reported as a race).
    std::exception_ptr error;
    std::promise<void> done;
    auto finished = done.get_future();
    async([&work, &done, &error] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        done.set_value();
    });
    finished.get();
    if (error) std::rethrow_exception(error);
}

void DispatchQueue::after(Duration delay, Work work) {
    // Timers wait on the pool; the work then goes through the queue like any other item.
    auto timer = std::make_shared<asio::steady_timer>(pool().get_executor(), delay);
    timer->async_wait([timer, self = shared_from_this(), w = std::move(work)](const std::error_code& ec) mutable {
        if (!ec) self->async(std::move(w));
    });
}

bool isMainThread() {
    return std::this_thread::get_id() == gMainThread;
}

void runOnMain(DispatchQueue::Work work) {
    if (isMainThread()) {
        work();
    } else {
        DispatchQueue::main()->async(std::move(work));
    }
}

// MARK: - Main loop

void MainLoop::installExecutor(asio::any_io_executor executor) {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    s.installed = std::move(executor);
}

asio::io_context& MainLoop::context() {
    static auto* ctx = new asio::io_context(1);
    // Keeps run_one_for waiting for work instead of returning at once when the queue is empty.
    static auto* guard = new asio::executor_work_guard<asio::io_context::executor_type>(ctx->get_executor());
    (void)guard;
    return *ctx;
}

bool MainLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
    auto& ctx = context();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    detail::CurrentQueueScope scope(DispatchQueue::main().get());
    while (!done()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        if (ctx.stopped()) ctx.restart();
        ctx.run_one_for(std::min<Duration>(deadline - now, std::chrono::milliseconds(20)));
    }
    return true;
}

void MainLoop::runFor(Duration d) {
    runUntil([] { return false; }, d);
}

void MainLoop::drain() {
    auto& ctx = context();
    detail::CurrentQueueScope scope(DispatchQueue::main().get());
    if (ctx.stopped()) ctx.restart();
    ctx.poll();
}

// MARK: - Groups

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Work>> ready;
    {
        std::lock_guard lock(mutex_);
        if (count_ <= 0) fatal("DispatchGroup::leave without a matching enter");
        if (--count_ == 0) ready.swap(notifications_);
    }
    cv_.notify_all();
    for (auto& [q, w] : ready) q->async(std::move(w));
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Work work) {
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            notifications_.emplace_back(std::move(queue), std::move(work));
            return;
        }
    }
    queue->async(std::move(work));
}

bool DispatchGroup::wait(Duration timeout) {
    std::unique_lock lock(mutex_);
    if (timeout == Duration::max()) {
        cv_.wait(lock, [&] { return count_ == 0; });
        return true;
    }
    return cv_.wait_for(lock, timeout, [&] { return count_ == 0; });
}

// MARK: - Timers

struct Timer::State {
    explicit State(asio::any_io_executor ex) : strand(asio::make_strand(ex)), timer(strand) {}
    asio::strand<asio::any_io_executor> strand;
    asio::steady_timer timer;
    std::chrono::steady_clock::time_point next;
};

std::shared_ptr<Timer> Timer::scheduled(std::shared_ptr<DispatchQueue> queue, Duration interval, bool repeats,
                                        std::function<void()> action) {
    auto t = std::shared_ptr<Timer>(new Timer);
    t->queue_ = std::move(queue);
    t->interval_ = std::max<Duration>(interval, std::chrono::milliseconds(1));
    t->repeats_ = repeats;
    t->action_ = std::move(action);
    t->state_ = std::make_shared<State>(pool().get_executor());
    t->state_->next = std::chrono::steady_clock::now() + t->interval_;
    asio::post(t->state_->strand, [t] { t->arm(); });
    return t;
}

void Timer::arm() {
    state_->timer.expires_at(state_->next);
    state_->timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || !self->valid_) return;
        self->queue_->async([self] {
            if (!self->valid_) return;
            if (!self->repeats_) self->valid_ = false;
            self->action_();
        });
        if (self->repeats_) {
            // Fixed rate: a late fire does not push the later ones back; missed fires are skipped.
            auto now = std::chrono::steady_clock::now();
            do {
                self->state_->next += self->interval_;
            } while (self->state_->next <= now);
            self->arm();
        }
    });
}

void Timer::invalidate() {
    if (!valid_.exchange(false)) return;
    auto state = state_;
    asio::post(state->strand, [state] { state->timer.cancel(); });
}

void Timer::fire() {
    if (!valid_) return;
    if (!repeats_) invalidate();
    action_();
}

Timer::~Timer() = default;

}  // namespace brisko::platform
