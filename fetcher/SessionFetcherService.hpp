// The factory and scheduler of fetchers: shared settings, a shared session and a per-host limit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherServiceProtocol.hpp"
#include "fetcher/SessionFetcherSessionDelegateDispatcher.hpp"

namespace brisko::fetcher {

inline constexpr std::string_view kSessionFetcherDelegateQueueLabel =
    "com.ezevar.ETMSessionFetcher.NSURLSessionDelegateQueue";
inline constexpr std::string_view kSessionFetcherSerialCallbackQueueLabel =
    "com.ezevar.ETMSessionFetcher.serialCallbackQueue";

// Every fetcher made by a service carries a copy of its settings and reports back to it. At most
// `maxRunningFetchersPerHost` fetchers run against one host at a time (0: no limit); the others wait
// and start in priority order (lowest `servicePriority` first, then first queued) as running ones stop.
class SessionFetcherService : public SessionFetcherServiceProtocol,
                              public std::enable_shared_from_this<SessionFetcherService> {
  public:
    using FetchersByHost = std::map<std::string, std::vector<std::shared_ptr<SessionFetcher>>, std::less<>>;

    static std::shared_ptr<SessionFetcherService> make();
    ~SessionFetcherService() override;
    SessionFetcherService(const SessionFetcherService&) = delete;
    SessionFetcherService& operator=(const SessionFetcherService&) = delete;

    // Making fetchers.
    std::shared_ptr<SessionFetcher> fetcherWithRequest(std::optional<platform::URLRequest> request);
    std::shared_ptr<SessionFetcher> fetcherWithURL(const platform::URL& url);
    std::shared_ptr<SessionFetcher> fetcherWithURLString(std::string_view text);
    // fetcherWithRequest:fetcherClass: for a fetcher class of the library (the upload fetcher).
    template <class Fetcher>
    std::shared_ptr<Fetcher> fetcherWithRequest(std::optional<platform::URLRequest> request) {
        auto fetcher = Fetcher::template makeFetcher<Fetcher>(std::move(request), configuration());
        applySettings(fetcher);
        return fetcher;
    }
    std::shared_ptr<platform::DispatchQueue> serialQueueForNewFetcher(
        const std::shared_ptr<SessionFetcher>& fetcher);

    // Settings given to every new fetcher.
    std::size_t maxRunningFetchersPerHost() const;
    void setMaxRunningFetchersPerHost(std::size_t limit);
    std::shared_ptr<platform::DispatchQueue> callbackQueue() const override;
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);
    void setConcurrentCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue, bool isConcurrent);
    std::shared_ptr<platform::DispatchQueue> sessionDelegateQueue() const;
    void setSessionDelegateQueue(std::shared_ptr<platform::DispatchQueue> queue);
    std::optional<std::string> userAgent() const;
    void setUserAgent(std::optional<std::string> userAgent);
    std::shared_ptr<UserAgentProvider> userAgentProvider() const;
    void setUserAgentProvider(std::shared_ptr<UserAgentProvider> provider);
    bool reuseSession() const;
    void setReuseSession(bool reuse);
    double unusedSessionTimeout() const;
    void setUnusedSessionTimeout(double seconds);
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer() const;
    void setAuthorizer(std::shared_ptr<FetcherAuthorizationProtocol> authorizer);
    std::optional<platform::URLSessionConfiguration> configuration() const;
    void setConfiguration(std::optional<platform::URLSessionConfiguration> configuration);
    std::shared_ptr<SessionCookieStorage> cookieStorage() const;
    void setCookieStorage(std::shared_ptr<SessionCookieStorage> storage);
    std::optional<platform::URLCredential> credential() const;
    void setCredential(std::optional<platform::URLCredential> credential);
    std::optional<platform::URLCredential> proxyCredential() const;
    void setProxyCredential(std::optional<platform::URLCredential> credential);
    SessionFetcher::ConfigurationBlock configurationBlock() const;
    void setConfigurationBlock(SessionFetcher::ConfigurationBlock block);
    SessionFetcher::ChallengeBlock challengeBlock() const;
    void setChallengeBlock(SessionFetcher::ChallengeBlock block);
    SessionFetcher::RetryBlock retryBlock() const;
    void setRetryBlock(SessionFetcher::RetryBlock block);
    SessionFetcher::MetricsCollectionBlock metricsCollectionBlock() const;
    void setMetricsCollectionBlock(SessionFetcher::MetricsCollectionBlock block);
    SessionFetcher::TestBlock testBlock() const;
    void setTestBlock(SessionFetcher::TestBlock block);
    std::vector<std::string> allowedInsecureSchemes() const;
    void setAllowedInsecureSchemes(std::vector<std::string> schemes);
    std::optional<platform::Dictionary> properties() const;
    void setProperties(std::optional<platform::Dictionary> properties);
    bool allowLocalhostRequest() const;
    void setAllowLocalhostRequest(bool value);
    bool allowInvalidServerCertificates() const;
    void setAllowInvalidServerCertificates(bool value);
    bool retryEnabled() const;
    void setRetryEnabled(bool value);
    double maxRetryInterval() const;
    void setMaxRetryInterval(double seconds);
    double minRetryInterval() const;
    void setMinRetryInterval(double seconds);
    bool stopFetchingTriggersCompletionHandler() const;
    void setStopFetchingTriggersCompletionHandler(bool value);

    // Decorators (held weakly).
    void addDecorator(const std::shared_ptr<FetcherDecoratorProtocol>& decorator);
    void removeDecorator(const std::shared_ptr<FetcherDecoratorProtocol>& decorator);
    std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators() override;

    // Calls from fetchers.
    std::shared_ptr<platform::URLSession> sessionWithCreationBlock(
        const SessionCreationBlock& creationBlock) override;
    bool fetcherShouldBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) override;
    void fetcherDidBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) override;
    void fetcherDidStop(const std::shared_ptr<SessionFetcher>& fetcher, bool callbacksPending) override;
    void fetcherDidStop(const std::shared_ptr<SessionFetcher>& fetcher) { fetcherDidStop(fetcher, false); }
    bool isDelayingFetcher(const std::shared_ptr<SessionFetcher>& fetcher) override;
    std::optional<platform::Date> stoppedAllFetchersDate() override;
    void startFetcher(const std::shared_ptr<SessionFetcher>& fetcher);
    void stopFetcher(const std::shared_ptr<SessionFetcher>& fetcher);

    // Queries.
    FetchersByHost runningFetchersByHost() const;
    void setRunningFetchersByHost(FetchersByHost table);
    FetchersByHost delayedFetchersByHost() const;
    void setDelayedFetchersByHost(FetchersByHost table);
    std::size_t numberOfFetchers() const;
    std::size_t numberOfRunningFetchers() const;
    std::size_t numberOfDelayedFetchers() const;
    std::optional<std::vector<std::shared_ptr<SessionFetcher>>> issuedFetchers() const;
    std::optional<std::vector<std::shared_ptr<SessionFetcher>>> issuedFetchersWithRequestURL(
        const platform::URL& url) const;
    static std::size_t numberOfNonBackgroundSessionFetchers(
        const std::vector<std::shared_ptr<SessionFetcher>>& fetchers);
    std::shared_ptr<SessionFetcherSessionDelegateDispatcher> sessionDelegate() const;
    std::shared_ptr<platform::URLSession> session() const;

    // Control.
    void stopAllFetchers();
    void resetSession();
    void resetSessionForDispatcherDiscardTimer(const std::shared_ptr<platform::Timer>& timer);
    // Waits (running the main queue on the main thread) until no fetcher runs or waits and the stopped
    // ones have delivered their callbacks; false when the time ran out.
    bool waitForCompletionOfAllFetchersWithTimeout(double seconds);

    // Test services: every fetch is answered with the given data, response and error, off the network.
    static std::shared_ptr<SessionFetcherService> mockFetcherServiceWithFakedData(
        std::optional<platform::Data> data, std::optional<platform::Error> error);
    static std::shared_ptr<SessionFetcherService> mockFetcherServiceWithFakedData(
        std::optional<platform::Data> data, std::shared_ptr<const platform::HTTPURLResponse> response,
        std::optional<platform::Error> error);

    explicit SessionFetcherService(SessionFetcher::PrivateTag);

  private:
    void applySettings(const std::shared_ptr<SessionFetcher>& fetcher);
    void detachAuthorizer();
    void resetSessionInternal();
    std::shared_ptr<SessionFetcherSessionDelegateDispatcher> delegateDispatcherForFetcher(
        const std::shared_ptr<SessionFetcher>& fetcher) const;
    std::size_t limitUnsynchronized() const { return maxRunningFetchersPerHost_; }

    mutable std::recursive_mutex mutex_;
    mutable std::mutex sessionCreationMutex_;
    FetchersByHost delayedFetchersByHost_;
    FetchersByHost runningFetchersByHost_;
    std::size_t maxRunningFetchersPerHost_ = 10;
    std::shared_ptr<SessionFetcherSessionDelegateDispatcher> delegateDispatcher_;
    bool callbackQueueIsConcurrent_ = false;
    std::shared_ptr<platform::DispatchQueue> callbackQueue_;
    std::shared_ptr<platform::DispatchQueue> delegateQueue_;
    std::shared_ptr<SessionCookieStorage> cookieStorage_;
    std::shared_ptr<UserAgentProvider> userAgentProvider_;
    std::optional<platform::URLCredential> credential_, proxyCredential_;
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer_;
    std::optional<std::vector<std::shared_ptr<SessionFetcher>>> stoppedFetchersToWaitFor_;
    std::optional<platform::Date> stoppedAllFetchersDate_;
    bool allowLocalhostRequest_ = false;
    bool allowInvalidServerCertificates_ = false;
    bool retryEnabled_ = false;
    bool stopFetchingTriggersCompletionHandler_ = false;
    std::optional<platform::URLSessionConfiguration> configuration_;
    SessionFetcher::ConfigurationBlock configurationBlock_;
    SessionFetcher::ChallengeBlock challengeBlock_;
    SessionFetcher::RetryBlock retryBlock_;
    SessionFetcher::MetricsCollectionBlock metricsCollectionBlock_;
    SessionFetcher::TestBlock testBlock_;
    std::vector<std::string> allowedInsecureSchemes_;
    double maxRetryInterval_ = 0;
    double minRetryInterval_ = 0;
    std::optional<platform::Dictionary> properties_;
    double unusedSessionTimeout_ = 60;
    std::optional<std::vector<std::weak_ptr<FetcherDecoratorProtocol>>> decorators_;
};

}  // namespace brisko::fetcher
