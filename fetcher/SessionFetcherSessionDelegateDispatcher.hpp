// The delegate of a fetcher service's shared session: forwards each task's events to its fetcher.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/Dispatch.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::fetcher {

class SessionFetcher;
class SessionFetcherService;

inline constexpr std::string_view kSessionFetcherServiceSessionBecameInvalidNotification =
    "kETMSessionFetcherServiceSessionBecameInvalidNotification";
inline constexpr std::string_view kSessionFetcherServiceSessionKey = "kETMSessionFetcherServiceSessionKey";

// Owns the shared session and a map from each running task to its fetcher. When no task has used the
// session for the discard interval, the service throws the session away; a session that becomes invalid
// fails the tasks still mapped to it with "cancelled".
class SessionFetcherSessionDelegateDispatcher final
    : public platform::URLSessionDelegate,
      public std::enable_shared_from_this<SessionFetcherSessionDelegateDispatcher> {
  public:
    SessionFetcherSessionDelegateDispatcher(std::weak_ptr<SessionFetcherService> parentService,
                                            double sessionDiscardInterval);
    ~SessionFetcherSessionDelegateDispatcher() override;

    std::shared_ptr<platform::URLSession> session() const;
    void setSession(std::shared_ptr<platform::URLSession> session);
    double discardInterval() const;
    void setDiscardInterval(double seconds);
    std::shared_ptr<platform::Timer> discardTimer() const;

    void setFetcher(const std::shared_ptr<SessionFetcher>& fetcher,
                    const std::shared_ptr<platform::URLSessionTask>& task);
    void removeFetcher(const std::shared_ptr<SessionFetcher>& fetcher);
    std::shared_ptr<SessionFetcher> fetcherForTask(
        const std::shared_ptr<platform::URLSessionTask>& task) const;
    void removeTaskFromMap(const std::shared_ptr<platform::URLSessionTask>& task);
    std::size_t numberOfMappedTasks() const;

    // A fetcher took the session: it must not be discarded meanwhile.
    void startSessionUsage();
    // Stops the timer, lets the session finish its tasks and invalidate, and drops it.
    void abandon();
    // Called by the discard timer (tests call it to fire the timer at once).
    void discardTimerFired(const std::shared_ptr<platform::Timer>& timer);

    std::string description() const;

    // Session events.
    void didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                   const std::optional<platform::Error>& error) override;
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    platform::URLRequest newRequest, RedirectCompletion completion) override;
    void didReceiveChallenge(const std::shared_ptr<platform::URLSession>& session,
                             const std::shared_ptr<platform::URLSessionTask>& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override;
    void needNewBodyStream(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionTask>& task,
                           BodyStreamCompletion completion) override;
    void didSendBodyData(const std::shared_ptr<platform::URLSession>& session,
                         const std::shared_ptr<platform::URLSessionTask>& task, std::int64_t bytesSent,
                         std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) override;
    void didFinishCollectingMetrics(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const platform::URLSessionTaskMetrics& metrics) override;
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>& session,
                              const std::shared_ptr<platform::URLSessionTask>& task,
                              const std::optional<platform::Error>& error) override;
    void didReceiveResponse(const std::shared_ptr<platform::URLSession>& session,
                            const std::shared_ptr<platform::URLSessionDataTask>& task,
                            const std::shared_ptr<const platform::HTTPURLResponse>& response,
                            ResponseCompletion completion) override;
    bool wantsResponseDecision(const std::shared_ptr<platform::URLSessionDataTask>& task) override;
    bool wantsMetrics(const std::shared_ptr<platform::URLSessionTask>& task) override;
    bool wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>& task) override;
    void didBecomeDownloadTask(
        const std::shared_ptr<platform::URLSession>& session,
        const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
        const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask) override;
    void didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                        const std::shared_ptr<platform::URLSessionDataTask>& task,
                        const platform::Data& data) override;
    void willCacheResponse(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionDataTask>& task,
                           platform::CachedURLResponse proposed, CacheCompletion completion) override;
    void didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>& session,
                                   const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                                   const platform::URL& location) override;
    void didWriteData(const std::shared_ptr<platform::URLSession>& session,
                      const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                      std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                           std::int64_t fileOffset, std::int64_t expectedTotalBytes) override;

  private:
    void startDiscardTimer();
    void destroyDiscardTimer();
    void destroySessionAndTimer();

    std::weak_ptr<SessionFetcherService> parentService_;
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<platform::URLSession> session_;
    std::map<std::shared_ptr<platform::URLSessionTask>, std::shared_ptr<SessionFetcher>> taskToFetcherMap_;
    std::shared_ptr<platform::Timer> discardTimer_;
    double discardInterval_;
};

}  // namespace brisko::fetcher
