// The session side of the network core: task registry, invalidation, the connection pool and pins.
#include "platform/net/URLSessionCore.hpp"

#include "platform/base/QueueExecutor.hpp"

#include <algorithm>

namespace brisko::platform::detail {

namespace {
constexpr std::string_view kDelegateQueueLabel = "com.brisko.URLSession.delegateQueue";
constexpr int kIdleConnectionsKept = 32;
}  // namespace

SessionCore::SessionCore(URLSessionConfiguration config, std::shared_ptr<URLSessionDelegate> delegate,
                         std::shared_ptr<DispatchQueue> queue, bool shared)
    : configuration(std::move(config)),
      delegateQueue(queue ? std::move(queue) : DispatchQueue::make(std::string(kDelegateQueueLabel))), isShared(shared),
      delegate_(std::move(delegate)) {
    // A delegate queue served by the network thread (its own queue, or any queue over its executor)
    // takes its events where the transfer ends, without a hop.
    deliversOnNetwork_ = &asio::query(delegateQueue->executor(), asio::execution::context) ==
                         &static_cast<asio::execution_context&>(NetworkLoop::instance().context());
}

SessionCore::~SessionCore() {
    // The pool's sockets are watched by the network thread: close them there.
    if (multi_) {
        if (onNetworkThread()) {
            CurlMulti::recycle(std::move(multi_));
        } else {
            postToNetwork([m = multi_.release()] { CurlMulti::recycle(std::unique_ptr<CurlMulti>(m)); });
        }
    }
}

std::shared_ptr<URLSessionDelegate> SessionCore::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void SessionCore::attach(const std::shared_ptr<URLSessionTask>& task, std::optional<URLRequest> request) {
    auto tc = std::make_shared<TaskCore>(shared_from_this(), task->kind());
    if (request) {
        if (request->timeoutInterval() <= 0) request->setTimeoutInterval(configuration.timeoutIntervalForRequest);
        tc->originalRequest = *request;
        task->originalRequest_ = std::move(request);
    }
    task->core_ = std::move(tc);
    registerTask(task);
}

void SessionCore::registerTask(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    // Tasks made and dropped without ever running leave expired entries: sweep them now and then.
    if (tasks_.size() >= sweepAt_) {
        std::erase_if(tasks_, [](const auto& entry) { return entry.second.expired(); });
        sweepAt_ = std::max<std::size_t>(64, tasks_.size() * 2);
    }
    tasks_[task.get()] = task;
}

void SessionCore::unregisterTask(const URLSessionTask* task) {
    std::lock_guard lock(mutex_);
    tasks_.erase(task);
}

std::vector<std::shared_ptr<URLSessionTask>> SessionCore::liveTasks() {
    std::vector<std::shared_ptr<URLSessionTask>> out;
    {
        std::lock_guard lock(mutex_);
        for (auto& [ptr, w] : tasks_) {
            if (auto t = w.lock()) out.push_back(std::move(t));
        }
    }
    std::erase_if(out, [](const auto& t) { return t->state() == URLSessionTaskState::completed; });
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a->taskIdentifier() < b->taskIdentifier(); });
    return out;
}

void SessionCore::finishTasksAndInvalidate() {
    if (isShared || invalidating_.exchange(true)) return;
    postToNetwork([self = shared_from_this()] { self->maybeFinishInvalidation(self->facade()); });
}

void SessionCore::invalidateAndCancel() {
    if (isShared) return;
    invalidating_ = true;
    for (auto& t : liveTasks()) t->cancel();
    postToNetwork([self = shared_from_this()] { self->maybeFinishInvalidation(self->facade()); });
}

void SessionCore::shutdown() {
    invalidating_ = true;
    // Released outside the lock: the delegate's destructor may call back into the session.
    std::shared_ptr<URLSessionDelegate> d;
    {
        std::lock_guard lock(mutex_);
        d = std::move(delegate_);
    }
}

std::string SessionCore::description() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void SessionCore::setDescription(std::string d) {
    std::lock_guard lock(mutex_);
    description_ = std::move(d);
}

CurlMulti& SessionCore::multi() {
    if (!multi_) {
        multi_ = CurlMulti::make([this](CURL* easy, CURLcode result) { onTransferDone(easy, result); });
        const int perHost = std::max(0, configuration.httpMaximumConnectionsPerHost);
        curl_multi_setopt(multi_->handle(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(perHost));
        // Idle connections are kept for a few hosts' worth of the per-host limit. libcurl's own default
        // follows the number of transfers running, so a pause between requests would close
        // connections the next requests could have used.
        curl_multi_setopt(multi_->handle(), CURLMOPT_MAXCONNECTS,
                          static_cast<long>(std::max(kIdleConnectionsKept, 4 * perHost)));
    }
    return *multi_;
}

void SessionCore::deliver(UniqueFunction<void()> event) {
    if (!onNetworkThread()) {
        delegateQueue->async(std::move(event));
        return;
    }
    if (outbox_.empty()) {
        NetworkLoop::instance().atEndOfIteration([self = shared_from_this()] {
            std::vector<UniqueFunction<void()>> batch = std::move(self->outbox_);
            self->outbox_.clear();
            if (self->deliversOnNetwork_) {
                // Already where the delegate queue runs: no hop.
                CurrentQueueScope scope(self->delegateQueue.get());
                for (auto& e : batch) e();
            } else if (batch.size() == 1) {
                self->delegateQueue->async(std::move(batch.front()));
            } else {
                self->delegateQueue->async([batch = std::move(batch)]() mutable {
                    for (auto& e : batch) e();
                });
            }
        });
    }
    outbox_.push_back(std::move(event));
}

void SessionCore::onTransferDone(CURL* easy, CURLcode result) {
    char* priv = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &priv);
    if (auto* task = reinterpret_cast<TaskCore*>(priv)) task->onTransferDone(result);
}

void SessionCore::taskStarted() {
    ++runningTasks_;
}

void SessionCore::taskFinished(const std::shared_ptr<URLSession>& session) {
    --runningTasks_;
    maybeFinishInvalidation(session);
}

void SessionCore::maybeFinishInvalidation(const std::shared_ptr<URLSession>& session) {
    if (!invalidating_ || invalidated_ || runningTasks_ > 0) return;
    invalidated_ = true;
    std::shared_ptr<URLSessionDelegate> d;
    {
        std::lock_guard lock(mutex_);
        d = std::move(delegate_);
    }
    if (d && session) deliver([d, session] { d->didBecomeInvalidWithError(session, std::nullopt); });
    CurlMulti::recycle(std::move(multi_));
}

bool SessionCore::isPinned(const std::string& origin) const {
    return pins_.contains(origin);
}

const std::set<Data>* SessionCore::pins(const std::string& origin) const {
    auto it = pins_.find(origin);
    return it == pins_.end() ? nullptr : &it->second;
}

void SessionCore::addPin(const std::string& origin, Data fingerprint) {
    pins_[origin].insert(std::move(fingerprint));
}

}  // namespace brisko::platform::detail
