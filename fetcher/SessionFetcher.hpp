// One HTTP request over a URL session, reported once through a completion with the body and an error.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetcher/FetcherAuthorizationProtocol.hpp"
#include "fetcher/SessionCookieStorage.hpp"
#include "fetcher/SessionFetcherServiceProtocol.hpp"
#include "fetcher/UserAgentProvider.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/base/Value.hpp"

namespace brisko::fetcher {

// Error domains: the fetcher's own codes, and HTTP statuses of 300 or more (code = the status).
inline constexpr std::string_view kSessionFetcherErrorDomain = "com.ezevar.ETMSessionFetcher";
inline constexpr std::string_view kSessionFetcherStatusDomain = "com.ezevar.HTTPStatus";
// User info of a status error: the response body and its content type.
inline constexpr std::string_view kSessionFetcherStatusDataKey = "data";
inline constexpr std::string_view kSessionFetcherStatusDataContentTypeKey = "data_content_type";
// User info added to the final error after at least one retry.
inline constexpr std::string_view kSessionFetcherElapsedIntervalWithRetriesKey =
    "kETMSessionFetcherElapsedIntervalWithRetriesKey";
inline constexpr std::string_view kSessionFetcherNumberOfRetriesDoneKey =
    "kETMSessionFetcherNumberOfRetriesDoneKey";

enum class SessionFetcherErrorCode : std::int64_t {
    downloadFailed = -1,
    uploadChunkUnavailable = -2,
    backgroundExpiration = -3,
    backgroundFetchFailed = -4,
    insecureRequest = -5,
    taskCreationFailed = -6,
    userCancelled = -7,
};

// Notifications, posted on the main thread with the fetcher as object.
inline constexpr std::string_view kSessionFetcherStartedNotification =
    "kETMSessionFetcherStartedNotification";
inline constexpr std::string_view kSessionFetcherStoppedNotification =
    "kETMSessionFetcherStoppedNotification";
inline constexpr std::string_view kSessionFetcherCompletionInvokedNotification =
    "kETMSessionFetcherCompletionInvokedNotification";
inline constexpr std::string_view kSessionFetcherCompletionDataKey = "data";
inline constexpr std::string_view kSessionFetcherCompletionErrorKey = "error";
inline constexpr std::string_view kSessionFetcherRetryDelayStartedNotification =
    "kETMSessionFetcherRetryDelayStartedNotification";
inline constexpr std::string_view kSessionFetcherRetryDelayStoppedNotification =
    "kETMSessionFetcherRetryDelayStoppedNotification";

// Background sessions: the identifier prefix and the user-defaults key listing running ones.
inline constexpr std::string_view kSessionIdentifierPrefix = "com.ezevar.ETMSessionFetcher";
inline constexpr std::string_view kSessionFetcherPersistedDestinationKey =
    "com.ezevar.ETMSessionFetcher.downloads";

// A service priority that is never held back by the per-host limit.
inline constexpr std::int64_t kServicePriorityNeverDelay = std::numeric_limits<std::int64_t>::min();

// One HTTP request. Create it, set options, then begin it; the completion runs exactly once on the
// callback queue (the main queue by default) with the body and no error, a "com.ezevar.HTTPStatus"
// error for a status of 300 or more, or the transport error. A caller need not keep the fetcher: the
// task, the retry timer and the pending callbacks keep it alive until it ends.
class SessionFetcher : public platform::URLSessionDelegate,
                       public FetcherAuthorizationDelegate,
                       public std::enable_shared_from_this<SessionFetcher> {
  public:
    using Data = platform::Data;
    using Error = platform::Error;
    using URLRequest = platform::URLRequest;
    using HTTPURLResponse = platform::HTTPURLResponse;
    using ResponsePtr = std::shared_ptr<const HTTPURLResponse>;

    using CompletionHandler = std::function<void(std::optional<Data> data, std::optional<Error> error)>;
    using WillRedirectResponse = std::function<void(std::optional<URLRequest>)>;
    using WillRedirectBlock = std::function<void(ResponsePtr redirectResponse, URLRequest redirectRequest,
                                                 WillRedirectResponse response)>;
    using DispositionResponse = std::function<void(platform::URLSessionResponseDisposition)>;
    using DidReceiveResponseBlock =
        std::function<void(ResponsePtr response, DispositionResponse dispositionBlock)>;
    using ChallengeDispositionBlock = std::function<void(platform::URLSessionAuthChallengeDisposition,
                                                         std::optional<platform::URLCredential>)>;
    using ChallengeBlock = std::function<void(std::shared_ptr<SessionFetcher> fetcher,
                                              platform::URLAuthenticationChallenge challenge,
                                              ChallengeDispositionBlock dispositionBlock)>;
    // Supplies a new stream of the upload body each time the session needs one (nothing fails the upload).
    using BodyStreamProviderResponse = std::function<void(std::shared_ptr<platform::InputStream> bodyStream)>;
    using BodyStreamProvider = std::function<void(BodyStreamProviderResponse response)>;
    using SendProgressBlock = std::function<void(std::int64_t bytesSent, std::int64_t totalBytesSent,
                                                 std::int64_t totalBytesExpectedToSend)>;
    // Called with each chunk of the body instead of buffering it; nothing means "discard what you have".
    using AccumulateDataBlock = std::function<void(std::optional<Data> buffer)>;
    using ReceivedProgressBlock =
        std::function<void(std::int64_t bytesWritten, std::int64_t totalBytesWritten)>;
    using DownloadProgressBlock = std::function<void(
        std::int64_t bytesWritten, std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite)>;
    using ResumeDataBlock = std::function<void(std::optional<Data> resumeData)>;
    using WillCacheURLResponseResponse = std::function<void(std::optional<platform::CachedURLResponse>)>;
    using WillCacheURLResponseBlock =
        std::function<void(platform::CachedURLResponse proposed, WillCacheURLResponseResponse response)>;
    using RetryResponse = std::function<void(bool shouldRetry)>;
    using RetryBlock =
        std::function<void(bool suggestedWillRetry, std::optional<Error> error, RetryResponse response)>;
    using MetricsCollectionBlock = std::function<void(platform::URLSessionTaskMetrics metrics)>;
    using ConfigurationBlock = std::function<void(std::shared_ptr<SessionFetcher> fetcher,
                                                  platform::URLSessionConfiguration& configuration)>;
    // A test block answers a fetch in place of the network: (response, data, error), each may be absent;
    // all three absent lets the fetch go to the network.
    using TestResponse =
        std::function<void(ResponsePtr response, std::optional<Data> data, std::optional<Error> error)>;
    using TestBlock =
        std::function<void(std::shared_ptr<SessionFetcher> fetcherToTest, TestResponse testResponse)>;

    // Creation.
    static std::shared_ptr<SessionFetcher> fetcherWithRequest(std::optional<URLRequest> request);
    static std::shared_ptr<SessionFetcher> fetcherWithURL(const platform::URL& url);
    static std::shared_ptr<SessionFetcher> fetcherWithURLString(std::string_view text);
    static std::shared_ptr<SessionFetcher> fetcherWithDownloadResumeData(Data resumeData);
    // The live fetcher of a background session identifier, or a new one that reconnects to it.
    static std::shared_ptr<SessionFetcher> fetcherWithSessionIdentifier(const std::string& identifier);
    // initWithRequest:configuration:.
    static std::shared_ptr<SessionFetcher> make(
        std::optional<URLRequest> request, std::optional<platform::URLSessionConfiguration> configuration);

    ~SessionFetcher() override;
    SessionFetcher(const SessionFetcher&) = delete;
    SessionFetcher& operator=(const SessionFetcher&) = delete;

    std::string description() const;

    // Starting and stopping.
    virtual void beginFetchWithCompletionHandler(CompletionHandler handler);
    // The target form: (fetcher, data, error) on the target; a missing target calls nothing.
    template <class Target>
    void beginFetchWithDelegate(std::shared_ptr<Target> target,
                                void (Target::*selector)(const std::shared_ptr<SessionFetcher>&,
                                                         std::optional<Data>, std::optional<Error>)) {
        beginFetchWithCompletionHandler(completionHandlerWithTarget(std::move(target), selector));
    }
    template <class Target>
    CompletionHandler completionHandlerWithTarget(
        std::shared_ptr<Target> target, void (Target::*selector)(const std::shared_ptr<SessionFetcher>&,
                                                                 std::optional<Data>, std::optional<Error>)) {
        std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
        return [target, selector, weakSelf](std::optional<Data> data, std::optional<Error> error) {
            auto self = weakSelf.lock();
            if (target && selector && self) ((*target).*selector)(self, std::move(data), std::move(error));
        };
    }
    virtual void beginFetchForRetry();
    virtual void stopFetching();
    virtual bool isFetching() const;
    bool userStoppedFetching() const;
    // Waits (running the main queue when called on the main thread) until the fetch has completed and
    // its callbacks have run; false when the time ran out.
    virtual bool waitForCompletionWithTimeout(double seconds);

    // Request and response.
    std::optional<URLRequest> request() const;
    void setRequest(std::optional<URLRequest> request);                              // not while fetching
    void setRequestValue(std::optional<std::string> value, std::string_view field);  // not while fetching
    ResponsePtr response() const;
    virtual int statusCode() const;
    virtual std::optional<platform::HTTPHeaders> responseHeaders() const;

    // Body.
    std::optional<Data> bodyData() const;
    void setBodyData(std::optional<Data> data);
    std::optional<platform::URL> bodyFileURL() const;
    void setBodyFileURL(std::optional<platform::URL> url);
    // A part of the body file to send in place of all of it: `length` bytes from `offset`.
    struct BodyFileRange {
        std::int64_t offset = 0;
        std::int64_t length = 0;
        bool operator==(const BodyFileRange&) const = default;
    };
    std::optional<BodyFileRange> bodyFileRange() const;
    void setBodyFileRange(std::optional<BodyFileRange> range);
    // Streams the upload body (a streamed upload task) in place of body data or a body file.
    BodyStreamProvider bodyStreamProvider() const;
    void setBodyStreamProvider(BodyStreamProvider provider);
    bool useUploadTask() const;
    void setUseUploadTask(bool value);
    // The body's length: the body data's, else the body file's size (or its range's length), else -1.
    std::int64_t bodyLength() const;

    // Destination file of a download task.
    std::optional<platform::URL> destinationFileURL() const;
    void setDestinationFileURL(std::optional<platform::URL> url);
    // The body received so far; at the end of the fetch it moves on to the completion (not kept here).
    std::optional<Data> downloadedData() const;
    void setDownloadedData(std::optional<Data> data);
    std::int64_t downloadedLength() const;
    std::optional<Data> downloadResumeData() const;
    void setDownloadResumeData(std::optional<Data> data);

    // Queues and session.
    std::shared_ptr<platform::DispatchQueue> callbackQueue() const;
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);  // none: the main queue
    std::shared_ptr<platform::DispatchQueue> sessionDelegateQueue() const;
    void setSessionDelegateQueue(std::shared_ptr<platform::DispatchQueue> queue);  // not while fetching
    std::optional<platform::URLSessionConfiguration> configuration() const;
    void setConfiguration(std::optional<platform::URLSessionConfiguration> configuration);
    ConfigurationBlock configurationBlock() const;
    void setConfigurationBlock(ConfigurationBlock block);
    std::shared_ptr<platform::URLSession> session() const;
    void setSession(std::shared_ptr<platform::URLSession> session);
    std::shared_ptr<platform::URLSessionTask> sessionTask() const;
    void setSessionTask(std::shared_ptr<platform::URLSessionTask> task);
    std::shared_ptr<platform::URLSession> sessionNeedingInvalidation() const;
    void setSessionNeedingInvalidation(std::shared_ptr<platform::URLSession> session);
    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    float taskPriority() const;
    void setTaskPriority(float priority);

    // Service.
    std::shared_ptr<SessionFetcherServiceProtocol> service() const;
    void setService(std::shared_ptr<SessionFetcherServiceProtocol> service);
    std::optional<std::string> serviceHost() const;
    void setServiceHost(std::optional<std::string> host);
    // Read without the fetcher's lock: the service compares the priorities of all waiting fetchers each
    // time one stops.
    std::int64_t servicePriority() const { return servicePriority_.load(std::memory_order_relaxed); }
    void setServicePriority(std::int64_t priority) { servicePriority_.store(priority, std::memory_order_relaxed); }
    bool canShareSession() const;

    // Authorization, credentials and transport rules.
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer() const;
    void setAuthorizer(std::shared_ptr<FetcherAuthorizationProtocol> authorizer);  // not while fetching
    std::optional<platform::URLCredential> credential() const;
    void setCredential(std::optional<platform::URLCredential> credential);
    std::optional<platform::URLCredential> proxyCredential() const;
    void setProxyCredential(std::optional<platform::URLCredential> credential);
    std::vector<std::string> allowedInsecureSchemes() const;
    void setAllowedInsecureSchemes(std::vector<std::string> schemes);
    bool allowLocalhostRequest() const;
    void setAllowLocalhostRequest(bool value);
    bool allowInvalidServerCertificates() const;
    void setAllowInvalidServerCertificates(bool value);
    std::shared_ptr<SessionCookieStorage> cookieStorage() const;
    void setCookieStorage(std::shared_ptr<SessionCookieStorage> storage);
    std::shared_ptr<UserAgentProvider> userAgentProvider() const;
    void setUserAgentProvider(std::shared_ptr<UserAgentProvider> provider);
    bool stopFetchingTriggersCompletionHandler() const;
    void setStopFetchingTriggersCompletionHandler(bool value);  // only before the first begin

    // Retry and backoff.
    bool isRetryEnabled() const;
    void setRetryEnabled(bool value);
    double maxRetryInterval() const;
    void setMaxRetryInterval(double seconds);
    double minRetryInterval() const;
    void setMinRetryInterval(double seconds);
    double retryFactor() const;
    void setRetryFactor(double factor);
    RetryBlock retryBlock() const;
    void setRetryBlock(RetryBlock block);
    std::uint64_t retryCount() const;
    double nextRetryInterval() const;
    std::shared_ptr<platform::Timer> retryTimer() const;
    // The interval last waited (or being waited) before a retry.
    double lastRetryInterval() const;
    static bool isRetryError(const std::optional<Error>& error);
    bool hasRetryAfterInterval() const;
    double retryAfterInterval() const;

    // Callback blocks.
    CompletionHandler completionHandler() const;
    void setCompletionHandler(CompletionHandler handler);
    WillRedirectBlock willRedirectBlock() const;
    void setWillRedirectBlock(WillRedirectBlock block);
    DidReceiveResponseBlock didReceiveResponseBlock() const;
    void setDidReceiveResponseBlock(DidReceiveResponseBlock block);
    ChallengeBlock challengeBlock() const;
    void setChallengeBlock(ChallengeBlock block);
    SendProgressBlock sendProgressBlock() const;
    void setSendProgressBlock(SendProgressBlock block);
    AccumulateDataBlock accumulateDataBlock() const;
    void setAccumulateDataBlock(AccumulateDataBlock block);
    ReceivedProgressBlock receivedProgressBlock() const;
    void setReceivedProgressBlock(ReceivedProgressBlock block);
    DownloadProgressBlock downloadProgressBlock() const;
    void setDownloadProgressBlock(DownloadProgressBlock block);
    ResumeDataBlock resumeDataBlock() const;
    void setResumeDataBlock(ResumeDataBlock block);
    WillCacheURLResponseBlock willCacheURLResponseBlock() const;
    void setWillCacheURLResponseBlock(WillCacheURLResponseBlock block);
    MetricsCollectionBlock metricsCollectionBlock() const;
    void setMetricsCollectionBlock(MetricsCollectionBlock block);

    // Simulated fetches.
    TestBlock testBlock() const;
    void setTestBlock(TestBlock block);
    static void setGlobalTestBlock(TestBlock block);
    std::size_t testBlockAccumulateDataChunkCount() const;
    void setTestBlockAccumulateDataChunkCount(std::size_t count);

    // Background sessions and their identifiers.
    virtual bool useBackgroundSession() const;
    virtual void setUseBackgroundSession(bool value);
    bool usingBackgroundSession() const;
    virtual bool canFetchWithBackgroundSession() const { return true; }
    std::optional<std::string> sessionIdentifier() const;
    void setSessionIdentifier(const std::string& identifier);
    std::string createSessionIdentifierWithMetadata(const std::optional<platform::Dictionary>& metadata);
    std::optional<platform::Dictionary> sessionIdentifierMetadata() const;
    std::optional<platform::Dictionary> sessionUserInfo() const;
    void setSessionUserInfo(std::optional<platform::Dictionary> info);
    bool clientWillReconnectBackgroundSession() const;
    void setClientWillReconnectBackgroundSession(bool value);
    bool wasCreatedFromBackgroundSession() const;
    // Fetchers for every background session recorded in user defaults: the live one, or a new one that
    // is begun at once unless its client reconnects it itself.
    static std::vector<std::shared_ptr<SessionFetcher>> fetchersForBackgroundSessions();
    static std::optional<std::vector<std::string>> activePersistedBackgroundSessions();
    // Run once at start: reconnects the recorded background sessions on the main queue.
    static void reconnectFetchersForBackgroundSessionsOnAppLaunch();

    // Caller's values.
    std::optional<platform::Value> userData() const;
    void setUserData(std::optional<platform::Value> value);
    std::optional<platform::Dictionary> properties() const;
    void setProperties(std::optional<platform::Dictionary> properties);
    void setProperty(std::string_view key, std::optional<platform::Value> value);
    std::optional<platform::Value> propertyForKey(std::string_view key) const;
    void addPropertiesFromDictionary(const platform::Dictionary& dictionary);
    std::string comment() const;
    void setComment(std::string comment);
    std::string log() const;
    void setLog(std::string log);

    std::optional<platform::Date> initialBeginFetchDate() const;
    std::optional<platform::Date> initialRequestDate() const;

    // The insecure-load switch of the application's information property list; tests set it.
    static bool appAllowsInsecureRequests();
    static void setAppAllowsInsecureRequestsForTesting(std::optional<bool> value);
    // The cookie store of fetchers that have none of their own.
    static std::shared_ptr<SessionCookieStorage> staticCookieStorage();

    // Internal entry points used by the service, the dispatcher and the upload fetcher.
    void beginFetchMayDelay(bool mayDelay, bool mayAuthorize, bool mayDecorate);
    virtual void stopFetchReleasingCallbacks(bool shouldReleaseCallbacks);
    void authorizerRequestFinishedWithError(const std::shared_ptr<FetcherAuthorizationProtocol>& authorizer,
                                            std::shared_ptr<URLRequest> request,
                                            std::optional<Error> error) override;
    // Runs a block on the callback queue inside the callback group; a guarded block is skipped when
    // the caller stopped the fetch (or the service stopped all fetchers) before it runs.
    void invokeOnCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue, bool afterUserStopped,
                               std::function<void()> block);
    void invokeOnCallbackQueueUnlessStopped(std::function<void()> block);
    void invokeOnCallbackQueueAfterUserStopped(bool afterUserStopped, std::function<void()> block);
    void updateMutableRequest(std::optional<URLRequest> request);
    void updateRequestValue(std::optional<std::string> value, std::string_view field);
    void setResponse(ResponsePtr response);
    void releaseCallbacks();
    void forgetSessionIdentifierForFetcher();

    // URL-session delegate events.
    void didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                   const std::optional<Error>& error) override;
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const ResponsePtr& response, URLRequest newRequest,
                                    RedirectCompletion completion) override;
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
                              const std::optional<Error>& error) override;
    void didReceiveResponse(const std::shared_ptr<platform::URLSession>& session,
                            const std::shared_ptr<platform::URLSessionDataTask>& task,
                            const ResponsePtr& response, ResponseCompletion completion) override;
    // Only a didReceiveResponseBlock decides on a response; without one the answer is always allow.
    bool wantsResponseDecision(const std::shared_ptr<platform::URLSessionDataTask>& task) override;
    // Metrics go nowhere without a metricsCollectionBlock.
    bool wantsMetrics(const std::shared_ptr<platform::URLSessionTask>& task) override;
    // Nor upload progress without a sendProgressBlock.
    bool wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>& task) override;
    void didBecomeDownloadTask(
        const std::shared_ptr<platform::URLSession>& session,
        const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
        const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask) override;
    void didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                        const std::shared_ptr<platform::URLSessionDataTask>& task, const Data& data) override;
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

    // The redirect URL: a redirect may upgrade http to https but never change https (or any other
    // scheme) into another one.
    static std::optional<platform::URL> redirectURLWithOriginalRequestURL(
        const std::optional<platform::URL>& original, const std::optional<platform::URL>& redirect);

  protected:
    struct PrivateTag {};

  public:
    SessionFetcher(PrivateTag, std::optional<URLRequest> request,
                   std::optional<platform::URLSessionConfiguration> configuration);

  protected:
    template <class T>
    static std::shared_ptr<T> makeFetcher(std::optional<URLRequest> request,
                                          std::optional<platform::URLSessionConfiguration> configuration) {
        return std::make_shared<T>(PrivateTag{}, std::move(request), std::move(configuration));
    }

    // Hooks for the upload fetcher.
    virtual bool shouldReleaseCallbacksUponCompletion() const { return true; }
    virtual void didSendBodyDataForUpload(std::int64_t bytesSent, std::int64_t totalBytesSent,
                                          std::int64_t totalBytesExpectedToSend);
    void finishWithError(std::optional<Error> error, bool shouldRetry);
    void invokeFetchCallbacksOnCallbackQueue(std::optional<Data> data, std::optional<Error> error,
                                             bool mayDecorate, bool shouldReleaseCallbacks);
    void shouldRetryNowForStatus(int status, std::optional<Error> error, bool forceAssumeRetry,
                                 std::function<void(bool)> response);
    void failToBeginFetchWithError(std::optional<Error> error);
    bool hasRetryTimer() const;
    bool isFetchingUnsynchronized() const;
    int statusCodeUnsynchronized() const;
    ResponsePtr responseUnsynchronized() const;
    std::optional<platform::HTTPHeaders> responseHeadersUnsynchronized() const;
    bool waitForBaseCompletionWithTimeout(double seconds);

    mutable std::recursive_mutex mutex_;

  private:
    friend class SessionFetcherService;
    friend class SessionUploadFetcher;

    std::shared_ptr<SessionFetcher> self() { return shared_from_this(); }
    platform::Error fetcherError(SessionFetcherErrorCode code,
                                 std::optional<platform::Dictionary> userInfo) const;
    void postNotification(std::string_view name, platform::Dictionary userInfo = {},
                          bool requireAsync = false);
    void setStopNotificationNeeded(bool needed);
    void sendStopNotificationIfNeeded();
    void updateUserAgentAsynchronously(std::shared_ptr<UserAgentProvider> provider, bool mayDelay,
                                       bool mayAuthorize, bool mayDecorate);
    void authorizeRequest();
    void applyDecoratorsAtRequestWillStart(std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators,
                                           std::size_t index);
    void applyDecoratorsAtRequestDidFinish(std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators,
                                           std::optional<Data> data, std::optional<Error> error,
                                           std::size_t index, bool shouldReleaseCallbacks);
    std::shared_ptr<platform::URLSession> createFetcherSession(
        std::shared_ptr<platform::URLSessionDelegate> delegate, std::optional<std::string> identifier);
    void createAndStartTask();
    void retryFetch();
    void beginRetryTimer();
    void retryTimerFired();
    void destroyRetryTimer();
    double nextRetryIntervalUnsynchronized() const;
    // Whether the request (or a challenge's protection space) is for the origin the caller began with.
    bool isRequestForAuthorizedOriginUnsynchronized() const;
    bool isForAuthorizedOriginUnsynchronized(const platform::URLProtectionSpace& space) const;
    std::optional<platform::Dictionary> errorUserInfoForData(
        const std::optional<Data>& data, const std::optional<platform::HTTPHeaders>& headers) const;
    void respondToChallenge(const platform::URLAuthenticationChallenge& challenge,
                            ChallengeCompletion completion);
    void simulateFetchForTestBlock();
    void simulateDataCallbacksForTestBlock(std::optional<Data> bodyData, ResponsePtr response,
                                           std::optional<Data> responseData, std::optional<Error> error);
    void simulateByteTransferReport(std::int64_t length,
                                    std::function<void(std::int64_t, std::int64_t, std::int64_t)> block);
    void simulateByteTransfer(const Data& data,
                              std::function<void(Data, std::int64_t, std::int64_t, std::int64_t)> block);
    void addPersistedBackgroundSessionToDefaults();
    void removePersistedBackgroundSessionFromDefaults();
    std::optional<platform::Dictionary> sessionIdentifierDefaultMetadata() const;
    void restoreDefaultStateForSessionIdentifierMetadata();
    std::optional<platform::Dictionary> sessionIdentifierMetadataUnsynchronized() const;
    void stopDiscardingSessionIfShared();
    bool isUserStoppedOrServiceStopped() const;

    std::optional<URLRequest> request_;
    bool useUploadTask_ = false;
    std::optional<platform::URL> bodyFileURL_;
    std::optional<BodyFileRange> bodyFileRange_;
    std::shared_ptr<platform::URLSession> session_;
    bool shouldInvalidateSession_ = false;
    std::shared_ptr<platform::URLSession> sessionNeedingInvalidation_;
    std::optional<platform::URLSessionConfiguration> configuration_;
    std::shared_ptr<platform::URLSessionTask> sessionTask_;
    std::string taskDescription_;
    float taskPriority_ = -1.0f;
    ResponsePtr response_;
    std::optional<std::string> sessionIdentifier_;
    bool wasCreatedFromBackgroundSession_ = false;
    bool clientWillReconnectBackgroundSession_ = false;
    bool didCreateSessionIdentifier_ = false;
    std::optional<std::string> sessionIdentifierUUID_;
    bool userRequestedBackgroundSession_ = false;
    bool usingBackgroundSession_ = false;
    std::optional<Data> downloadedData_;
    std::optional<Error> downloadFinishedError_;
    std::optional<Data> downloadResumeData_;
    std::optional<Data> downloadTaskErrorData_;
    std::optional<platform::URL> destinationFileURL_;
    std::int64_t downloadedLength_ = 0;
    std::optional<platform::URLCredential> credential_, proxyCredential_;
    bool isStopNotificationNeeded_ = false;
    bool isUsingTestBlock_ = false;
    std::optional<platform::Value> userData_;
    std::optional<platform::Dictionary> properties_;
    std::shared_ptr<platform::DispatchQueue> callbackQueue_;
    std::shared_ptr<platform::DispatchGroup> callbackGroup_;
    std::shared_ptr<platform::DispatchQueue> delegateQueue_;
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer_;
    std::shared_ptr<SessionFetcherServiceProtocol> service_;
    std::optional<std::string> serviceHost_;
    std::atomic<std::int64_t> servicePriority_{0};
    bool hasStoppedFetching_ = false;
    bool userStoppedFetching_ = false;
    bool isRetryEnabled_ = false;
    std::shared_ptr<platform::Timer> retryTimer_;
    std::uint64_t retryCount_ = 0;
    double maxRetryInterval_ = -1;
    double minRetryInterval_ = 0;
    double retryFactor_ = 0;
    double lastRetryInterval_ = 0;
    std::optional<platform::Date> initialBeginFetchDate_;
    std::optional<platform::Date> initialRequestDate_;
    bool hasAttemptedAuthRefresh_ = false;
    // The origin of the request the caller began: the only one the authorizer and the caller's credentials
    // serve. After a redirect to another origin, neither applies to this fetch again (retries included).
    std::optional<std::string> authorizedOrigin_;
    std::string comment_, log_;
    bool canShareSession_ = false;
    bool allowLocalhostRequest_ = false;
    bool allowInvalidServerCertificates_ = false;
    bool stopFetchingTriggersCompletionHandler_ = false;
    ConfigurationBlock configurationBlock_;
    std::optional<platform::Dictionary> sessionUserInfo_;
    CompletionHandler completionHandler_;
    std::optional<Data> bodyData_;
    std::int64_t bodyLength_ = -1;
    AccumulateDataBlock accumulateDataBlock_;
    ReceivedProgressBlock receivedProgressBlock_;
    DownloadProgressBlock downloadProgressBlock_;
    ResumeDataBlock resumeDataBlock_;
    DidReceiveResponseBlock didReceiveResponseBlock_;
    ChallengeBlock challengeBlock_;
    BodyStreamProvider bodyStreamProvider_;
    WillRedirectBlock willRedirectBlock_;
    SendProgressBlock sendProgressBlock_;
    WillCacheURLResponseBlock willCacheURLResponseBlock_;
    RetryBlock retryBlock_;
    MetricsCollectionBlock metricsCollectionBlock_;
    std::vector<std::string> allowedInsecureSchemes_;
    std::shared_ptr<SessionCookieStorage> cookieStorage_;
    TestBlock testBlock_;
    std::size_t testBlockAccumulateDataChunkCount_ = 1;
    std::shared_ptr<UserAgentProvider> userAgentProvider_;
    bool hasBegun_ = false;
    bool taskCompleted_ = false;
};

}  // namespace brisko::fetcher
