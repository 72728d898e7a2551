// The promise: a value that starts pending and settles once, fulfilled with a value or rejected with an
// error, observed and chained on queues; with the process-wide default queue and pending-work group.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "attestation/promises/BlockPool.hpp"
#include "attestation/promises/InlineFunction.hpp"
#include "attestation/promises/Queue.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/UniqueFunction.hpp"
#include "platform/base/Value.hpp"

namespace brisko::promises {

using platform::Error;
// The value of a promise that fulfils with nothing.
using Nothing = std::monostate;

inline constexpr std::string_view kPromiseClassName = "ZBLPromise";
inline constexpr std::string_view kPromiseErrorDomain = "com.ezevar.ZBLPromises.Error";
inline constexpr std::int64_t kPromiseErrorCodeTimedOut = 1;
inline constexpr std::int64_t kPromiseErrorCodeValidationFailure = 2;
inline constexpr std::string_view kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr std::string_view kInvalidParameterFormat = "Invalid parameter not satisfying: %@";
inline constexpr std::string_view kNoPromisesToObserve = "No promises to observe";

// Counts every promise created pending and not yet settled or destroyed, and every callback task
// submitted and not yet finished. Timer waits are not counted.
class PromiseGroup {
public:
    void enter(std::int64_t n = 1) noexcept { count_.fetch_add(n); }
    void leave() noexcept;
    // Enters n times (n > 0), leaves once (n == -1), or does nothing (n == 0): one change of the count
    // for work that ends and work that starts at the same moment, so it never drops to zero between.
    void adjust(std::int64_t n) noexcept {
        if (n > 0) {
            enter(n);
        } else if (n < 0) {
            leave();
        }
    }
    std::int64_t count() const noexcept { return count_.load(); }
    // Blocks until the count is zero; false when the timeout passed first.
    bool wait(Duration timeout);

private:
    std::atomic<std::int64_t> count_{0};
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
};

PromiseGroup& dispatchGroup();

// The queue of every operator form without a queue: the main queue until changed.
Queue defaultDispatchQueue();
void setDefaultDispatchQueue(Queue queue);

// Blocks until every pending promise and scheduled callback is done (running the main loop meanwhile
// when called on the main thread), or the timeout passes; true when the group emptied.
bool waitForGroup(double timeoutSeconds);

template <class T> class Promise;

// What settles a Promise<T>: a value fulfils, an error rejects, a promise is adopted.
template <class T> class Resolution {
public:
    Resolution(T value) : v_(std::in_place_index<0>, std::move(value)) {}               // NOLINT
    Resolution(Error error) : v_(std::in_place_index<1>, std::move(error)) {}           // NOLINT
    Resolution(Promise<T> promise) : v_(std::in_place_index<2>, std::move(promise)) {}  // NOLINT
    template <class U>
    requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, T> &&
             !std::is_same_v<std::decay_t<U>, Error> && !std::is_same_v<std::decay_t<U>, Promise<T>> &&
             !std::is_same_v<std::decay_t<U>, Resolution>) Resolution(U&& value)
        : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}  // NOLINT

    std::variant<T, Error, Promise<T>>& get() { return v_; }

private:
    std::variant<T, Error, Promise<T>> v_;
};

namespace detail {

// Missing arguments are programming errors, raised with the parameter's name.
[[noreturn]] void invalidParameter(std::string_view name);
[[noreturn]] void raise(std::string_view reason);
inline void requireQueue(const Queue& queue) {
    if (!queue) invalidParameter("queue");
}

template <class F> struct IsStdFunction : std::false_type {};
template <class S> struct IsStdFunction<std::function<S>> : std::true_type {};
template <class S> struct IsStdFunction<platform::UniqueFunction<S>> : std::true_type {};

template <class F> bool isMissing(const F& f) {
    if constexpr (std::is_null_pointer_v<F>) {
        return true;
    } else if constexpr (IsStdFunction<F>::value) {
        return !static_cast<bool>(f);
    } else {
        return false;
    }
}
template <class F> void requireWork(const F& f, std::string_view name) {
    if (isMissing(f)) invalidParameter(name);
}

// An error value given where a value is expected rejects: only dynamic values can carry one.
template <class T> std::optional<Error> errorIn(const T&) {
    return std::nullopt;
}
std::optional<Error> errorIn(const platform::Value& value);

// Text of a value for descriptions.
template <class T> std::string describe(const T& value) {
    if constexpr (requires {
                      { value.description() } -> std::convertible_to<std::string>;
                  }) {
        return value.description();
    } else if constexpr (std::is_convertible_v<const T&, std::string>) {
        return std::string(value);
    } else if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);
    } else {
        return "<value>";
    }
}
std::string describe(const Nothing&);
std::string describeAddress(const void* pointer);

// Leaves the dispatch group when a counted task returns, however it returns.
struct LeaveGroupOnExit {
    LeaveGroupOnExit() = default;
    LeaveGroupOnExit(const LeaveGroupOnExit&) = delete;
    LeaveGroupOnExit& operator=(const LeaveGroupOnExit&) = delete;
    ~LeaveGroupOnExit() { dispatchGroup().leave(); }
};

// A lock for the promise's few fields: held for a handful of instructions and never while user code
// runs, so a short spin (yielding when it takes longer) beats a mutex.
class SpinLock {
public:
    void lock() noexcept {
        for (int spins = 0; flag_.exchange(true, std::memory_order_acquire); ++spins) {
            if (spins > 64) std::this_thread::yield();
        }
    }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> flag_{false};
};

// The shared state behind Promise handles.
template <class T> class State : public std::enable_shared_from_this<State<T>> {
public:
    using Observer = InlineFunction<void(State&, const Queue&), 48>;

    explicit State(bool pending) : counted_(pending) {
        if (pending) dispatchGroup().enter();
    }
    // A pending promise whose count in the group its creator has already entered.
    struct AlreadyCounted {};
    explicit State(AlreadyCounted) : counted_(true) {}
    ~State() {
        // A promise destroyed while pending gives its count back.
        if (counted_ && state_ == 0) dispatchGroup().leave();
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void fulfill(T value) {
        if (auto error = errorIn(value)) {
            reject(std::move(*error));
            return;
        }
        settle(1, [&] { result_.template emplace<1>(std::move(value)); });
    }
    void reject(Error error) {
        settle(2, [&] { result_.template emplace<2>(std::make_shared<const Error>(std::move(error))); });
    }

    // Calls the observer on the queue once the promise is settled (at once, when it already is).
    void addObserver(const Queue& queue, Observer observer) {
        {
            std::lock_guard lock(mutex_);
            if (state_ == 0) {
                // Most promises have one observer: it is kept without a list.
                if (!first_.observer) {
                    first_.queue = queue;
                    first_.observer = std::move(observer);
                } else {
                    extra().more.push_back(Registration{queue, std::move(observer)});
                }
                return;
            }
        }
        schedule(queue, std::move(observer));
    }
    void addPendingObject(std::shared_ptr<const void> object) {
        std::lock_guard lock(mutex_);
        if (state_ != 0) return;
        auto& objects = extra().pendingObjects;
        if (std::find(objects.begin(), objects.end(), object) == objects.end()) objects.push_back(std::move(object));
    }

    int state() const {
        std::lock_guard lock(mutex_);
        return state_;
    }
    std::optional<T> value() const {
        std::lock_guard lock(mutex_);
        if (result_.index() == 1) return std::get<1>(result_);
        return std::nullopt;
    }
    std::optional<Error> error() const {
        std::lock_guard lock(mutex_);
        if (result_.index() == 2) return *std::get<2>(result_);
        return std::nullopt;
    }
    // For observers only: a settled promise's value and error never change.
    bool isFulfilledSettled() const { return result_.index() == 1; }
    const T& settledValue() const { return std::get<1>(result_); }
    const Error& settledError() const { return *std::get<2>(result_); }

private:
    struct Registration {
        Queue queue;
        Observer observer;  // empty when there is none
    };
    // What few promises have: the observers after the first, and objects kept alive until settled.
    struct Extra {
        std::vector<Registration> more;
        std::vector<std::shared_ptr<const void>> pendingObjects;
    };
    // Called under the lock.
    Extra& extra() {
        if (!extra_) extra_ = std::make_unique<Extra>();
        return *extra_;
    }

    template <class Store> void settle(int to, Store&& store) {
        Registration* first = nullptr;
        std::vector<Registration>* more = nullptr;
        std::unique_ptr<Extra> released;
        std::vector<std::shared_ptr<const void>> pendingObjects;
        {
            std::lock_guard lock(mutex_);
            if (state_ != 0) return;
            store();
            state_ = to;
            // The registrations stay where they are, for their tasks to run: once settled, nothing else
            // touches them.
            if (first_.observer) first = &first_;
            if (extra_) {
                pendingObjects.swap(extra_->pendingObjects);
                if (extra_->more.empty()) {
                    released.swap(extra_);
                } else {
                    more = &extra_->more;
                }
            }
        }
        // Each observer only submits a task; no callback runs here. The tasks are counted before the
        // promise stops counting, in one change, so the group never drops to zero between this promise
        // and the tasks it starts. The pending objects are let go afterwards.
        const std::int64_t tasks = (first ? 1 : 0) + (more ? static_cast<std::int64_t>(more->size()) : 0);
        dispatchGroup().adjust(tasks - (counted_ ? 1 : 0));
        if (first) postRegistered(*first);
        if (more) {
            for (auto& r : *more) postRegistered(r);
        }
    }
    // Submits the task of an observer registered while pending, already counted in the group. The task
    // needs nothing but the promise, which holds the registration; it lets the callbacks go once they ran.
    void postRegistered(Registration& r) {
        r.queue.asyncInline([self = this->shared_from_this(), &r]() mutable {
            LeaveGroupOnExit leave;
            r.observer(*self, r.queue);
            r.observer = Observer();
        });
    }
    // Submits the task of an observer of a settled promise, counted in the group until it is done; the
    // callbacks are let go before the task counts as done, as above.
    void schedule(const Queue& queue, Observer observer) {
        dispatchGroup().enter();
        queue.asyncInline([self = this->shared_from_this(), queue, o = std::move(observer)]() mutable {
            LeaveGroupOnExit leave;
            o(*self, queue);
            o = Observer();
        });
    }

    mutable SpinLock mutex_;
    int state_ = 0;
    bool counted_;
    // Errors are rare and large: kept out of line.
    std::variant<std::monostate, T, std::shared_ptr<const Error>> result_;
    Registration first_;
    std::unique_ptr<Extra> extra_;
};

// A new promise state, in a block recycled across threads.
template <class T, class... A> std::shared_ptr<State<T>> makeState(A&&... args) {
    return std::allocate_shared<State<T>>(PoolAllocator<State<T>>(), std::forward<A>(args)...);
}

// The value type a callback's result settles: Promise<U>, Resolution<U> and U give U; void gives Nothing.
template <class R> struct ResolvedType {
    static_assert(!std::is_same_v<R, Error>, "a callback that only returns errors must name its value type");
    using type = R;
};
template <class U> struct ResolvedType<Promise<U>> { using type = U; };
template <class U> struct ResolvedType<Resolution<U>> { using type = U; };
template <> struct ResolvedType<void> { using type = Nothing; };

struct Deduce {};
template <class U, class F, class... A>
using ResultOf = std::conditional_t<std::is_same_v<U, Deduce>,
                                    typename ResolvedType<std::decay_t<std::invoke_result_t<F&, A...>>>::type, U>;

// Calls a callback and turns its result into a resolution; a thrown ErrorException rejects.
template <class U, class F, class... A> Resolution<U> invokeResolution(F& f, A&&... args) {
    using R = std::invoke_result_t<F&, A...>;
    try {
        if constexpr (std::is_void_v<R>) {
            f(std::forward<A>(args)...);
            return Resolution<U>(Nothing{});
        } else {
            return Resolution<U>(f(std::forward<A>(args)...));
        }
    } catch (const platform::ErrorException& e) {
        return Resolution<U>(e.error());
    }
}

}  // namespace detail

template <class T> class Promise {
    static_assert(!std::is_same_v<T, Error>, "a promise of an error could never fulfil");
    static_assert(!std::is_reference_v<T> && !std::is_void_v<T>, "use Nothing for a promise without a value");

public:
    using ValueType = T;

    // No promise (an empty handle).
    Promise() = default;
    explicit Promise(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}

    // A new pending promise; it counts in the dispatch group until it settles or is destroyed.
    static Promise pending() { return Promise(detail::makeState<T>(true)); }
    // A promise settled at once (not counted in the group): rejected for an error, else fulfilled.
    static Promise resolvedWith(T value) {
        auto p = Promise(detail::makeState<T>(false));
        p.state_->fulfill(std::move(value));
        return p;
    }
    static Promise resolvedWith(Error error) {
        auto p = Promise(detail::makeState<T>(false));
        p.state_->reject(std::move(error));
        return p;
    }

    explicit operator bool() const { return static_cast<bool>(state_); }
    bool operator==(const Promise& other) const { return state_ == other.state_; }

    // Settles the promise; a settled promise ignores both. An error value given to fulfill rejects; a
    // promise given as the value (Promise<Promise<U>>) is the value, not adopted.
    void fulfill(T value) const { state_->fulfill(std::move(value)); }
    void reject(Error error) const { state_->reject(std::move(error)); }

    bool isPending() const { return state_->state() == 0; }
    bool isFulfilled() const { return state_->state() == 1; }
    bool isRejected() const { return state_->state() == 2; }
    std::optional<T> value() const { return state_->value(); }
    std::optional<Error> error() const { return state_->error(); }

    // Calls one of the callbacks on the queue once the promise settles; always later, never inside this
    // call, and in registration order for one serial queue.
    template <class OnFulfill, class OnReject>
    void observe(const Queue& queue, OnFulfill onFulfill, OnReject onReject) const {
        detail::requireQueue(queue);
        detail::requireWork(onFulfill, "onFulfill");
        detail::requireWork(onReject, "onReject");
        state_->addObserver(
            queue, [f = std::move(onFulfill), r = std::move(onReject)](detail::State<T>& s, const Queue&) mutable {
                if (s.isFulfilledSettled()) {
                    f(s.settledValue());
                } else {
                    r(s.settledError());
                }
            });
    }

    // A new promise settled from this one's outcome through the callbacks (nullptr keeps the value or
    // the error); a callback's promise result is adopted, its error result rejects.
    template <class U = T, class F = std::nullptr_t, class R = std::nullptr_t>
    Promise<U> chain(const Queue& queue, F chainedFulfill = nullptr, R chainedReject = nullptr) const {
        detail::requireQueue(queue);
        auto next = Promise<U>::pending();
        state_->addObserver(queue, [next, f = std::move(chainedFulfill),
                                    r = std::move(chainedReject)](detail::State<T>& s, const Queue& queue) mutable {
            (void)f;  // an absent callback is a nullptr placeholder
            (void)r;
            if (s.isFulfilledSettled()) {
                if constexpr (std::is_null_pointer_v<F>) {
                    next.resolveOn(queue, Resolution<U>(U(s.settledValue())));
                } else if (detail::isMissing(f)) {
                    if constexpr (std::is_constructible_v<U, const T&>) {
                        next.resolveOn(queue, Resolution<U>(U(s.settledValue())));
                    } else {
                        detail::invalidParameter("chainedFulfill");
                    }
                } else {
                    next.resolveOn(queue, detail::invokeResolution<U>(f, s.settledValue()));
                }
            } else {
                if constexpr (std::is_null_pointer_v<R>) {
                    next.reject(s.settledError());
                } else if (detail::isMissing(r)) {
                    next.reject(s.settledError());
                } else {
                    next.resolveOn(queue, detail::invokeResolution<U>(r, s.settledError()));
                }
            }
        });
        return next;
    }

    // Settles this promise with a resolution: a value fulfils, an error rejects, a promise is followed
    // (observed on the queue) and its outcome copied.
    void resolveOn(const Queue& queue, Resolution<T> resolution) const {
        auto& v = resolution.get();
        switch (v.index()) {
        case 0:
            fulfill(std::move(std::get<0>(v)));
            break;
        case 1:
            reject(std::move(std::get<1>(v)));
            break;
        default: {
            auto& other = std::get<2>(v);
            if (!other) detail::invalidParameter("promise");
            other.state_->addObserver(queue, [self = *this](detail::State<T>& s, const Queue&) {
                if (s.isFulfilledSettled()) {
                    self.fulfill(s.settledValue());
                } else {
                    self.reject(s.settledError());
                }
            });
        }
        }
    }

    // Keeps the object alive until the promise settles.
    void addPendingObject(std::shared_ptr<const void> object) const {
        if (!object) detail::invalidParameter("object");
        state_->addPendingObject(std::move(object));
    }

    std::string description() const {
        std::string head = "<" + std::string(kPromiseClassName) + " " + detail::describeAddress(state_.get()) + ">";
        switch (state_->state()) {
        case 1:
            return head + " Fulfilled: " + detail::describe(*state_->value());
        case 2:
            return head + " Rejected: " + state_->error()->description();
        default:
            return head + " Pending";
        }
    }

    const std::shared_ptr<detail::State<T>>& state() const { return state_; }

    // MARK: operators (each defined in the header named after it)

    template <class U = detail::Deduce, class F>
    Promise<detail::ResultOf<U, F, const T&>> then(const Queue& queue, F work) const;
    template <class U = detail::Deduce, class F> Promise<detail::ResultOf<U, F, const T&>> then(F work) const {
        return then<U>(defaultDispatchQueue(), std::move(work));
    }

    template <class F> Promise catch_(const Queue& queue, F reject) const;
    template <class F> Promise catch_(F reject) const { return catch_(defaultDispatchQueue(), std::move(reject)); }

    template <class F> Promise recover(const Queue& queue, F recovery) const;
    template <class F> Promise recover(F recovery) const {
        return recover(defaultDispatchQueue(), std::move(recovery));
    }

    template <class F> Promise always(const Queue& queue, F work) const;
    template <class F> Promise always(F work) const { return always(defaultDispatchQueue(), std::move(work)); }

    template <class F> Promise validate(const Queue& queue, F predicate) const;
    template <class F> Promise validate(F predicate) const {
        return validate(defaultDispatchQueue(), std::move(predicate));
    }

    template <class I, class F> Promise reduce(const Queue& queue, const std::vector<I>& items, F reducer) const;
    template <class I, class F> Promise reduce(const std::vector<I>& items, F reducer) const {
        return reduce(defaultDispatchQueue(), items, std::move(reducer));
    }

    Promise delay(const Queue& queue, double interval) const;
    Promise delay(double interval) const { return delay(defaultDispatchQueue(), interval); }

    Promise timeout(const Queue& queue, double interval) const;
    Promise timeout(double interval) const { return timeout(defaultDispatchQueue(), interval); }

    // Class operators.
    using Fulfill = std::function<void(Resolution<T>)>;
    using Reject = std::function<void(Error)>;

    template <class F> static Promise async(const Queue& queue, F work);
    template <class F> static Promise async(F work) { return async(defaultDispatchQueue(), std::move(work)); }

    template <class F> static Promise do_(const Queue& queue, F work);
    template <class F> static Promise do_(F work) { return do_(defaultDispatchQueue(), std::move(work)); }

    // Condition: (remaining attempts, error) -> retry or not.
    using RetryCondition = std::function<bool(std::int64_t, const Error&)>;
    static constexpr std::int64_t kDefaultRetryAttempts = 1;
    static constexpr double kDefaultRetryDelay = 1.0;

    template <class F>
    static Promise retry(const Queue& queue, std::int64_t attempts, double delay, RetryCondition condition, F work);
    template <class F> static Promise retry(std::int64_t attempts, double delay, RetryCondition condition, F work) {
        return retry(defaultDispatchQueue(), attempts, delay, std::move(condition), std::move(work));
    }
    template <class F> static Promise retry(const Queue& queue, std::int64_t attempts, F work) {
        return retry(queue, attempts, kDefaultRetryDelay, nullptr, std::move(work));
    }
    template <class F> static Promise retry(std::int64_t attempts, F work) {
        return retry(defaultDispatchQueue(), attempts, std::move(work));
    }
    template <class F> static Promise retry(const Queue& queue, F work) {
        return retry(queue, kDefaultRetryAttempts, std::move(work));
    }
    template <class F> static Promise retry(F work) { return retry(defaultDispatchQueue(), std::move(work)); }

    static Promise<std::vector<T>> all(const Queue& queue, std::vector<Resolution<T>> promises);
    static Promise<std::vector<T>> all(std::vector<Resolution<T>> promises) {
        return all(defaultDispatchQueue(), std::move(promises));
    }

    // One entry per input: the value, or the error.
    using Outcome = std::variant<T, Error>;
    static Promise<std::vector<Outcome>> any(const Queue& queue, std::vector<Resolution<T>> promises);
    static Promise<std::vector<Outcome>> any(std::vector<Resolution<T>> promises) {
        return any(defaultDispatchQueue(), std::move(promises));
    }

    static Promise race(const Queue& queue, std::vector<Resolution<T>> promises);
    static Promise race(std::vector<Resolution<T>> promises) {
        return race(defaultDispatchQueue(), std::move(promises));
    }

private:
    std::shared_ptr<detail::State<T>> state_;
};

}  // namespace brisko::promises
