// Forwarding the shared session's task events to their fetchers, and discarding the unused session.
#include "fetcher/SessionFetcherSessionDelegateDispatcher.hpp"

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLError.hpp"

namespace brisko::fetcher {

using platform::URLSession;
using platform::URLSessionTask;

SessionFetcherSessionDelegateDispatcher::SessionFetcherSessionDelegateDispatcher(
    std::weak_ptr<SessionFetcherService> parentService, double sessionDiscardInterval)
    : parentService_(std::move(parentService)), discardInterval_(sessionDiscardInterval) {}

SessionFetcherSessionDelegateDispatcher::~SessionFetcherSessionDelegateDispatcher() {
    if (discardTimer_) discardTimer_->invalidate();
}

std::shared_ptr<URLSession> SessionFetcherSessionDelegateDispatcher::session() const {
    std::lock_guard lock(mutex_);
    return session_;
}

void SessionFetcherSessionDelegateDispatcher::setSession(std::shared_ptr<URLSession> session) {
    std::lock_guard lock(mutex_);
    session_ = std::move(session);
}

double SessionFetcherSessionDelegateDispatcher::discardInterval() const {
    std::lock_guard lock(mutex_);
    return discardInterval_;
}

void SessionFetcherSessionDelegateDispatcher::setDiscardInterval(double seconds) {
    std::lock_guard lock(mutex_);
    discardInterval_ = seconds;
}

std::shared_ptr<platform::Timer> SessionFetcherSessionDelegateDispatcher::discardTimer() const {
    std::lock_guard lock(mutex_);
    return discardTimer_;
}

void SessionFetcherSessionDelegateDispatcher::setFetcher(const std::shared_ptr<SessionFetcher>& fetcher,
                                                         const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    if (!fetcher || !task) return;
    taskToFetcherMap_[task] = fetcher;
    // A session with a task in flight is never discarded.
    destroyDiscardTimer();
}

void SessionFetcherSessionDelegateDispatcher::removeFetcher(const std::shared_ptr<SessionFetcher>& fetcher) {
    std::lock_guard lock(mutex_);
    std::erase_if(taskToFetcherMap_, [&](const auto& entry) { return entry.second == fetcher; });
    if (taskToFetcherMap_.empty()) startDiscardTimer();
}

std::shared_ptr<SessionFetcher> SessionFetcherSessionDelegateDispatcher::fetcherForTask(
    const std::shared_ptr<URLSessionTask>& task) const {
    std::lock_guard lock(mutex_);
    auto it = taskToFetcherMap_.find(task);
    return it == taskToFetcherMap_.end() ? nullptr : it->second;
}

void SessionFetcherSessionDelegateDispatcher::removeTaskFromMap(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    taskToFetcherMap_.erase(task);
}

std::size_t SessionFetcherSessionDelegateDispatcher::numberOfMappedTasks() const {
    std::lock_guard lock(mutex_);
    return taskToFetcherMap_.size();
}

void SessionFetcherSessionDelegateDispatcher::startDiscardTimer() {
    destroyDiscardTimer();
    if (discardInterval_ <= 0) return;
    std::weak_ptr<SessionFetcherSessionDelegateDispatcher> weakSelf = weak_from_this();
    auto holder = std::make_shared<std::weak_ptr<platform::Timer>>();
    discardTimer_ = platform::Timer::scheduled(
        platform::DispatchQueue::main(),
        std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(discardInterval_)),
        false, [weakSelf, holder] {
            auto self = weakSelf.lock();
            auto timer = holder->lock();
            if (self && timer) self->discardTimerFired(timer);
        });
    *holder = discardTimer_;
}

void SessionFetcherSessionDelegateDispatcher::destroyDiscardTimer() {
    if (discardTimer_) discardTimer_->invalidate();
    discardTimer_.reset();
}

void SessionFetcherSessionDelegateDispatcher::discardTimerFired(
    const std::shared_ptr<platform::Timer>& timer) {
    std::shared_ptr<SessionFetcherService> service;
    {
        std::lock_guard lock(mutex_);
        if (taskToFetcherMap_.empty()) service = parentService_.lock();
    }
    if (service) service->resetSessionForDispatcherDiscardTimer(timer);
}

void SessionFetcherSessionDelegateDispatcher::startSessionUsage() {
    std::lock_guard lock(mutex_);
    destroyDiscardTimer();
}

void SessionFetcherSessionDelegateDispatcher::destroySessionAndTimer() {
    destroyDiscardTimer();
    if (session_) session_->finishTasksAndInvalidate();
    session_.reset();
}

void SessionFetcherSessionDelegateDispatcher::abandon() {
    std::lock_guard lock(mutex_);
    destroySessionAndTimer();
}

std::string SessionFetcherSessionDelegateDispatcher::description() const {
    std::lock_guard lock(mutex_);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    std::string tasks;
    if (taskToFetcherMap_.empty()) {
        tasks = "<no tasks>";
    } else {
        for (const auto& [task, fetcher] : taskToFetcherMap_) {
            if (!tasks.empty()) tasks += ", ";
            tasks += platform::format("%llu: %@", {task->taskIdentifier(), fetcher->description()});
        }
    }
    return platform::format("%@ %@ %@ %@",
                            {"SessionFetcherSessionDelegateDispatcher", std::string(address),
                             session_ ? session_->sessionDescription() : std::string("<no session>"), tasks});
}

void SessionFetcherSessionDelegateDispatcher::didBecomeInvalidWithError(
    const std::shared_ptr<URLSession>& session, const std::optional<platform::Error>&) {
    std::map<std::shared_ptr<URLSessionTask>, std::shared_ptr<SessionFetcher>> tasks;
    {
        std::lock_guard lock(mutex_);
        if (session_ == session) session_.reset();
        tasks = taskToFetcherMap_;
    }
    // The tasks of this session still waiting for their end are told it never comes.
    for (const auto& [task, fetcher] : tasks) {
        if (fetcher->session() == session) {
            didCompleteWithError(session, task,
                                 platform::Error(std::string(platform::kURLErrorDomain),
                                                 static_cast<int>(platform::URLErrorCode::cancelled)));
        }
    }
    std::shared_ptr<const void> object = parentService_.lock();
    platform::Dictionary info;
    info[std::string(kSessionFetcherServiceSessionKey)] = platform::Value::object(session);
    platform::NotificationCenter::defaultCenter().post(
        std::string(kSessionFetcherServiceSessionBecameInvalidNotification), object, std::move(info));
}

// Forwarding: the lookup holds the lock, the call runs after it is released. A task nobody owns gets the
// platform's default answers.

void SessionFetcherSessionDelegateDispatcher::willPerformHTTPRedirection(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionTask>& task,
    const std::shared_ptr<const platform::HTTPURLResponse>& response, platform::URLRequest newRequest,
    RedirectCompletion completion) {
    if (auto fetcher = fetcherForTask(task)) {
        fetcher->willPerformHTTPRedirection(session, task, response, std::move(newRequest),
                                            std::move(completion));
    } else {
        URLSessionDelegate::willPerformHTTPRedirection(session, task, response, std::move(newRequest),
                                                       std::move(completion));
    }
}

void SessionFetcherSessionDelegateDispatcher::didReceiveChallenge(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionTask>& task,
    const platform::URLAuthenticationChallenge& challenge, ChallengeCompletion completion) {
    if (auto fetcher = fetcherForTask(task)) {
        fetcher->didReceiveChallenge(session, task, challenge, std::move(completion));
    } else {
        URLSessionDelegate::didReceiveChallenge(session, task, challenge, std::move(completion));
    }
}

// A task no fetcher owns gets no stream: the session fails it rather than leave it waiting.
void SessionFetcherSessionDelegateDispatcher::needNewBodyStream(const std::shared_ptr<URLSession>& session,
                                                                const std::shared_ptr<URLSessionTask>& task,
                                                                BodyStreamCompletion completion) {
    if (auto fetcher = fetcherForTask(task)) {
        fetcher->needNewBodyStream(session, task, std::move(completion));
    } else {
        URLSessionDelegate::needNewBodyStream(session, task, std::move(completion));
    }
}

void SessionFetcherSessionDelegateDispatcher::didSendBodyData(const std::shared_ptr<URLSession>& session,
                                                              const std::shared_ptr<URLSessionTask>& task,
                                                              std::int64_t bytesSent,
                                                              std::int64_t totalBytesSent,
                                                              std::int64_t totalBytesExpectedToSend) {
    if (auto fetcher = fetcherForTask(task))
        fetcher->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

void SessionFetcherSessionDelegateDispatcher::didFinishCollectingMetrics(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionTask>& task,
    const platform::URLSessionTaskMetrics& metrics) {
    if (auto fetcher = fetcherForTask(task)) fetcher->didFinishCollectingMetrics(session, task, metrics);
}

void SessionFetcherSessionDelegateDispatcher::didCompleteWithError(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<URLSessionTask>& task,
    const std::optional<platform::Error>& error) {
    std::shared_ptr<SessionFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        auto it = taskToFetcherMap_.find(task);
        if (it != taskToFetcherMap_.end()) {
            fetcher = it->second;
            taskToFetcherMap_.erase(it);
        }
    }
    if (fetcher) fetcher->didCompleteWithError(session, task, error);
}

void SessionFetcherSessionDelegateDispatcher::didReceiveResponse(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDataTask>& task,
    const std::shared_ptr<const platform::HTTPURLResponse>& response, ResponseCompletion completion) {
    if (auto fetcher = fetcherForTask(task)) {
        fetcher->didReceiveResponse(session, task, response, std::move(completion));
    } else {
        URLSessionDelegate::didReceiveResponse(session, task, response, std::move(completion));
    }
}

bool SessionFetcherSessionDelegateDispatcher::wantsResponseDecision(
    const std::shared_ptr<platform::URLSessionDataTask>& task) {
    auto fetcher = fetcherForTask(task);
    return fetcher && fetcher->wantsResponseDecision(task);
}

bool SessionFetcherSessionDelegateDispatcher::wantsMetrics(const std::shared_ptr<URLSessionTask>& task) {
    auto fetcher = fetcherForTask(task);
    return fetcher && fetcher->wantsMetrics(task);
}

bool SessionFetcherSessionDelegateDispatcher::wantsUploadProgress(const std::shared_ptr<URLSessionTask>& task) {
    auto fetcher = fetcherForTask(task);
    return fetcher && fetcher->wantsUploadProgress(task);
}

void SessionFetcherSessionDelegateDispatcher::didBecomeDownloadTask(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
    const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask) {
    std::shared_ptr<SessionFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        auto it = taskToFetcherMap_.find(dataTask);
        if (it != taskToFetcherMap_.end()) {
            fetcher = it->second;
            taskToFetcherMap_.erase(it);
            taskToFetcherMap_[downloadTask] = fetcher;
        }
    }
    if (fetcher) fetcher->didBecomeDownloadTask(session, dataTask, downloadTask);
}

void SessionFetcherSessionDelegateDispatcher::didReceiveData(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDataTask>& task,
    const platform::Data& data) {
    if (auto fetcher = fetcherForTask(task)) fetcher->didReceiveData(session, task, data);
}

void SessionFetcherSessionDelegateDispatcher::willCacheResponse(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDataTask>& task,
    platform::CachedURLResponse proposed, CacheCompletion completion) {
    if (auto fetcher = fetcherForTask(task)) {
        fetcher->willCacheResponse(session, task, std::move(proposed), std::move(completion));
    } else {
        URLSessionDelegate::willCacheResponse(session, task, std::move(proposed), std::move(completion));
    }
}

void SessionFetcherSessionDelegateDispatcher::didFinishDownloadingToURL(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDownloadTask>& task,
    const platform::URL& location) {
    if (auto fetcher = fetcherForTask(task)) fetcher->didFinishDownloadingToURL(session, task, location);
}

void SessionFetcherSessionDelegateDispatcher::didWriteData(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDownloadTask>& task,
    std::int64_t bytesWritten, std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) {
    if (auto fetcher = fetcherForTask(task))
        fetcher->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void SessionFetcherSessionDelegateDispatcher::didResumeAtOffset(
    const std::shared_ptr<URLSession>& session, const std::shared_ptr<platform::URLSessionDownloadTask>& task,
    std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
    if (auto fetcher = fetcherForTask(task))
        fetcher->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
}

}  // namespace brisko::fetcher
