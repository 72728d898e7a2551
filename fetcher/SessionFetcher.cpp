// The fetcher's lifecycle: creation, the begin sequence, task creation, completion and stopping.
#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/HeaderFields.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "fetcher/SessionFetcherService.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLError.hpp"

namespace brisko::fetcher {

using platform::Data;
using platform::Dictionary;
using platform::Error;
using platform::URL;
using platform::URLRequest;

namespace {

constexpr std::string_view kLogCategory = "fetcher";
constexpr std::string_view kMissingURLText = "(missing URL)";

// The user info of an error that names the request's URL. Errors are logged and passed around: the URL
// they carry has no password, as in the URL session's own errors.
Dictionary failingURLInfo(const std::optional<URL>& url) {
    Dictionary info;
    info[std::string(platform::kURLErrorFailingURLStringErrorKey)] =
        url ? url->withoutPassword().absoluteString() : std::string(kMissingURLText);
    return info;
}

}  // namespace

SessionFetcher::TestBlock currentGlobalTestBlock();

// A random minimum retry interval in [1, 2): 1 + (0..65534) / 65535.
double randomMinRetryInterval() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> distribution(0, 0xfffe);
    return 1.0 + distribution(generator) / 65535.0;
}

bool isLocalHostURL(const URL& url) {
    const auto& host = url.host();
    if (!host || host->empty()) return url.isFileURL();
    return platform::equalsIgnoringASCIICase(*host, "localhost") || *host == "::1" || *host == "127.0.0.1";
}

// ---- Creation ----

SessionFetcher::SessionFetcher(PrivateTag, std::optional<URLRequest> request,
                               std::optional<platform::URLSessionConfiguration> configuration)
    : request_(std::move(request)),
      configuration_(std::move(configuration)),
      callbackQueue_(platform::DispatchQueue::main()),
      callbackGroup_(std::make_shared<platform::DispatchGroup>()),
      delegateQueue_(platform::DispatchQueue::main()),
      minRetryInterval_(randomMinRetryInterval()) {
    if (request_ && request_->httpBody())
        bodyLength_ = static_cast<std::int64_t>(request_->httpBody()->size());
}

SessionFetcher::~SessionFetcher() {
    if (sessionIdentifier_ && didCreateSessionIdentifier_)
        internal::forgetSessionIdentifier(*sessionIdentifier_, this);
}

std::shared_ptr<SessionFetcher> SessionFetcher::make(
    std::optional<URLRequest> request, std::optional<platform::URLSessionConfiguration> configuration) {
    return makeFetcher<SessionFetcher>(std::move(request), std::move(configuration));
}

std::shared_ptr<SessionFetcher> SessionFetcher::fetcherWithRequest(std::optional<URLRequest> request) {
    return make(std::move(request), std::nullopt);
}

std::shared_ptr<SessionFetcher> SessionFetcher::fetcherWithURL(const URL& url) {
    return fetcherWithRequest(URLRequest(url));
}

std::shared_ptr<SessionFetcher> SessionFetcher::fetcherWithURLString(std::string_view text) {
    return fetcherWithRequest(URLRequest(URL::parse(text)));
}

std::shared_ptr<SessionFetcher> SessionFetcher::fetcherWithDownloadResumeData(Data resumeData) {
    auto fetcher = fetcherWithRequest(std::nullopt);
    fetcher->setComment("Resuming download");
    fetcher->setDownloadResumeData(std::move(resumeData));
    return fetcher;
}

std::string SessionFetcher::description() const {
    std::lock_guard lock(mutex_);
    std::string what;
    if (request_ && request_->url()) {
        what = request_->url()->description();
    } else if (downloadResumeData_) {
        what = "<download resume data>";
    } else if (wasCreatedFromBackgroundSession_) {
        what = "<from bg session>";
    } else {
        what = "<no request>";
    }
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return platform::format("%@ %@ (%@)", {"SessionFetcher", std::string(address), what});
}

Error SessionFetcher::fetcherError(SessionFetcherErrorCode code, std::optional<Dictionary> userInfo) const {
    return Error(std::string(kSessionFetcherErrorDomain), static_cast<std::int64_t>(code),
                 userInfo.value_or(Dictionary{}));
}

// ---- Begin ----

void SessionFetcher::beginFetchWithCompletionHandler(CompletionHandler handler) {
    {
        std::lock_guard lock(mutex_);
        completionHandler_ = std::move(handler);
        authorizedOrigin_.reset();
    }
    beginFetchMayDelay(true, true, true);
}

void SessionFetcher::beginFetchForRetry() {
    beginFetchMayDelay(true, true, true);
}

void SessionFetcher::beginFetchMayDelay(bool mayDelay, bool mayAuthorize, bool mayDecorate) {
    std::unique_lock lock(mutex_);
    // 1. Request, URL and identifier; the first begin is recorded.
    std::optional<URL> url = request_ ? request_->url() : std::nullopt;
    auto sessionIdentifier = sessionIdentifier_;
    if (!initialBeginFetchDate_) initialBeginFetchDate_ = platform::now();
    if (!authorizedOrigin_ && url) authorizedOrigin_ = url->origin();
    hasBegun_ = true;

    auto failWithCode = [&](SessionFetcherErrorCode code) {
        auto error = fetcherError(code, failingURLInfo(url));
        lock.unlock();
        failToBeginFetchWithError(error);
    };

    // 2-3. A fetcher runs one task at a time, and needs something to fetch.
    if (sessionTask_) {
        if (sessionIdentifier) return;
        return failWithCode(SessionFetcherErrorCode::downloadFailed);
    }
    if (!url && !downloadResumeData_ && !sessionIdentifier)
        return failWithCode(SessionFetcherErrorCode::downloadFailed);

    // 4.
    usingBackgroundSession_ = userRequestedBackgroundSession_ && canFetchWithBackgroundSession();

    // 5. A body file must be there.
    if (bodyFileURL_) {
        std::error_code ec;
        auto path = bodyFileURL_->path();
        if (!std::filesystem::exists(path, ec)) {
            auto error = internal::fileError(ENOENT, path);
            platform::log(
                platform::LogLevel::error, kLogCategory,
                platform::format("Body file is unreachable: %@\n  %@", {path, error.description()}));
            lock.unlock();
            return failToBeginFetchWithError(error);
        }
    }

    // 6-7. Data URLs skip background sessions and the insecure-scheme rules.
    bool isDataURL = url && url->scheme() == "data";
    if (isDataURL) {
        sessionIdentifier_.reset();
        sessionIdentifier.reset();
        usingBackgroundSession_ = false;
    } else if (url) {
        // Where the app does not allow arbitrary loads, the platform's transport security is what refuses
        // plain-text requests; Linux has none, so these rules guard every request whatever the app says.
        const std::string& scheme = url->scheme();
        if (!platform::equalsIgnoringASCIICase(scheme, "https")) {
            bool allowed = false;
            if (!scheme.empty()) {
                for (const auto& s : allowedInsecureSchemes_) {
                    if (platform::equalsIgnoringASCIICase(s, scheme)) allowed = true;
                }
            }
            if (!allowed && allowLocalhostRequest_ && isLocalHostURL(*url)) allowed = true;
            if (!allowed) {
                platform::log(platform::LogLevel::error, kLogCategory,
                              platform::format("Insecure fetch disallowed for %@", {url->description()}));
                return failWithCode(SessionFetcherErrorCode::insecureRequest);
            }
        }
    }

    // 8-9.
    if (!cookieStorage_) cookieStorage_ = staticCookieStorage();
    bool recreatingSession = sessionIdentifier && !request_;
    canShareSession_ = service_ && !recreatingSession && !usingBackgroundSession_;

    // 10. The session: the service's shared one, or one of the fetcher's own.
    if (!session_) {
        if (canShareSession_) {
            auto service = service_;
            std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
            lock.unlock();
            auto session = service->sessionWithCreationBlock(
                [weakSelf, sessionIdentifier](std::shared_ptr<platform::URLSessionDelegate> delegate) {
                    auto self = weakSelf.lock();
                    return self ? self->createFetcherSession(std::move(delegate), sessionIdentifier)
                                : nullptr;
                });
            lock.lock();
            if (!session_) session_ = session;
        } else {
            session_ = createFetcherSession(nullptr, sessionIdentifier);
        }
    }

    // 11. A recreated background session: the old task's events arrive by themselves, if any.
    if (recreatingSession) {
        shouldInvalidateSession_ = true;
        auto session = session_;
        std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
        lock.unlock();
        if (session) {
            session->getAllTasksWithCompletionHandler(
                [weakSelf](std::vector<std::shared_ptr<platform::URLSessionTask>> tasks) {
                    if (!tasks.empty()) return;
                    platform::DispatchQueue::main()->after(std::chrono::seconds(1), [weakSelf] {
                        auto self = weakSelf.lock();
                        if (!self) return;
                        if (self->sessionTask()) return;
                        self->removePersistedBackgroundSessionFromDefaults();
                        self->failToBeginFetchWithError(
                            self->fetcherError(SessionFetcherErrorCode::backgroundFetchFailed, std::nullopt));
                    });
                });
        }
        return;
    }

    // 12.
    downloadedData_.reset();
    downloadedLength_ = 0;

    // 13. The service may hold the fetcher back while too many run for its host.
    if (servicePriority_ == kServicePriorityNeverDelay) mayDelay = false;
    if (mayDelay && service_) {
        auto service = service_;
        lock.unlock();
        bool shouldBegin = service->fetcherShouldBeginFetching(self());
        lock.lock();
        if (!shouldBegin) {
            if (canShareSession_) session_.reset();
            return;
        }
    }

    // 14. The user agent, computed off this thread when it is not cached yet.
    if (request_ && !request_->valueForHTTPHeaderField(internal::kUserAgentField)) {
        if (userAgentProvider_) {
            if (auto cached = userAgentProvider_->cachedUserAgent()) {
                request_->setValue(std::string_view(*cached), internal::kUserAgentField);
            } else {
                auto provider = userAgentProvider_;
                if (canShareSession_) session_.reset();
                lock.unlock();
                updateUserAgentAsynchronously(provider, mayDelay, mayAuthorize, mayDecorate);
                return;
            }
        }
    }

    // 15-17. The effective method; a body makes a GET a POST.
    std::string effectiveMethod;
    if (request_) {
        effectiveMethod = request_->valueForHTTPHeaderField(internal::kMethodOverrideField)
                              .value_or(request_->httpMethod());
    }
    bool isEffectiveGET = effectiveMethod.empty() || effectiveMethod == "GET";
    bool needsUploadTask = useUploadTask_ || bodyFileURL_.has_value() || bodyStreamProvider_ != nullptr;
    if (request_ && (bodyData_ || bodyStreamProvider_ || request_->httpBody() || request_->httpBodyStream())) {
        if (isEffectiveGET) {
            request_->setHTTPMethod("POST");
            isEffectiveGET = false;
            effectiveMethod = "POST";
        }
        if (bodyData_ && !needsUploadTask) request_->setHTTPBody(*bodyData_);
    }

    // 18. Authorization, only ever for the origin the caller began with: after a redirect to another
    // origin, a retry goes out unsigned.
    if (mayAuthorize && authorizer_ && !isDataURL && request_ && isRequestForAuthorizedOriginUnsynchronized()) {
        auto authorizer = authorizer_;
        URLRequest requestCopy = *request_;
        lock.unlock();
        bool authorized = authorizer->isAuthorizedRequest(requestCopy);
        lock.lock();
        if (!authorized) {
            if (canShareSession_) session_.reset();
            lock.unlock();
            authorizeRequest();
            return;
        }
    }

    // 19. Decorators.
    if (mayDecorate && service_) {
        auto service = service_;
        lock.unlock();
        auto decorators = service->decorators();
        lock.lock();
        if (!decorators.empty()) {
            if (canShareSession_) session_.reset();
            lock.unlock();
            applyDecoratorsAtRequestWillStart(std::move(decorators), 0);
            return;
        }
    }

    // 20. Retries are bounded by default: a minute for reads, ten for everything else.
    if (isRetryEnabled_ && maxRetryInterval_ <= 0) {
        maxRetryInterval_ = (isEffectiveGET || effectiveMethod == "HEAD") ? 60.0 : 600.0;
    }
    lock.unlock();
    createAndStartTask();
}

void SessionFetcher::createAndStartTask() {
    std::unique_lock lock(mutex_);
    auto session = session_;
    bool isDataURL = request_ && request_->url() && request_->url()->scheme() == "data";
    bool needsUploadTask = useUploadTask_ || bodyFileURL_.has_value() || bodyStreamProvider_ != nullptr;
    auto logFailure = [&](const std::string& line) {
        platform::log(platform::LogLevel::error, kLogCategory, line);
    };
    // The texts of the failure lines are made only when one is written.
    auto sessionText = [&] { return session ? session->sessionDescription() : std::string("(null)"); };
    auto requestText = [&] { return request_ ? request_->description() : std::string("(null)"); };

    // 21. The task.
    std::shared_ptr<platform::URLSessionTask> task;
    if (session) {
        if (downloadResumeData_) {
            task = session->downloadTaskWithResumeData(*downloadResumeData_);
            if (!task)
                logFailure(platform::format("Failed downloadTaskWithResumeData for %@, resume data %lu bytes",
                                            {sessionText(), downloadResumeData_->size()}));
        } else if (destinationFileURL_ && !isDataURL && request_) {
            task = session->downloadTaskWithRequest(*request_);
            if (!task)
                logFailure(platform::format("Failed downloadTaskWithRequest for %@, %@",
                                            {sessionText(), requestText()}));
        } else if (needsUploadTask && request_) {
            if (bodyFileURL_) {
                task = bodyFileRange_ ? session->uploadTaskWithRequest(*request_, *bodyFileURL_,
                                                                       bodyFileRange_->offset, bodyFileRange_->length)
                                      : session->uploadTaskWithRequest(*request_, *bodyFileURL_);
                if (!task)
                    logFailure(platform::format("Failed uploadTaskWithRequest for %@, %@, file %@",
                                                {sessionText(), requestText(), bodyFileURL_->path()}));
            } else if (bodyStreamProvider_) {
                task = session->uploadTaskWithStreamedRequest(*request_);
                if (!task)
                    logFailure(platform::format("Failed uploadTaskWithStreamedRequest for %@, %@",
                                                {sessionText(), requestText()}));
            } else {
                if (!bodyData_)
                    logFailure(platform::format("Upload task needs body data, %@", {requestText()}));
                Data body = bodyData_.value_or(Data{});
                std::size_t length = body.size();
                task = session->uploadTaskWithRequest(*request_, std::move(body));
                if (!task)
                    logFailure(
                        platform::format("Failed uploadTaskWithRequest for %@, %@, body data %lu bytes",
                                         {sessionText(), requestText(), length}));
            }
            if (task && !accumulateDataBlock_) downloadedData_ = Data{};
        } else if (request_) {
            task = session->dataTaskWithRequest(*request_);
            if (!task)
                logFailure(
                    platform::format("Failed dataTaskWithRequest for %@, %@", {sessionText(), requestText()}));
            if (task && !accumulateDataBlock_) downloadedData_ = Data{};
        }
    }
    if (!task) {
        sessionTask_.reset();
        auto error = fetcherError(SessionFetcherErrorCode::taskCreationFailed,
                                  failingURLInfo(request_ ? request_->url() : std::nullopt));
        lock.unlock();
        failToBeginFetchWithError(error);
        return;
    }
    sessionTask_ = task;
    taskCompleted_ = false;

    // 22-24.
    if (!taskDescription_.empty()) task->setTaskDescription(taskDescription_);
    if (taskPriority_ >= 0) task->setPriority(taskPriority_);
    if (!testBlock_) testBlock_ = currentGlobalTestBlock();
    isUsingTestBlock_ = static_cast<bool>(testBlock_);
    if (!initialRequestDate_) initialRequestDate_ = platform::now();
    auto service = service_;
    bool usingTestBlock = isUsingTestBlock_;
    lock.unlock();

    // 25. Keep started and stopped notifications paired, then start.
    sendStopNotificationIfNeeded();
    addPersistedBackgroundSessionToDefaults();
    setStopNotificationNeeded(true);
    postNotification(kSessionFetcherStartedNotification);
    if (service) service->fetcherDidBeginFetching(self());
    if (usingTestBlock) {
        simulateFetchForTestBlock();
    } else {
        task->resume();
    }
}

std::shared_ptr<platform::URLSession> SessionFetcher::createFetcherSession(
    std::shared_ptr<platform::URLSessionDelegate> delegate, std::optional<std::string> identifier) {
    std::unique_lock lock(mutex_);
    platform::URLSessionConfiguration configuration;
    if (configuration_) {
        configuration = *configuration_;
    } else {
        if (identifier || usingBackgroundSession_) {
            if (!identifier) {
                lock.unlock();
                identifier = createSessionIdentifierWithMetadata(std::nullopt);
                lock.lock();
            }
            internal::registerSessionIdentifier(*identifier, weak_from_this());
            configuration =
                platform::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(*identifier);
            usingBackgroundSession_ = true;
            canShareSession_ = false;
        } else {
            configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
        }
        configuration.tlsMinimumSupportedProtocolVersion = platform::TLSProtocolVersion::tls12;
        // The service already limits how many fetchers run per host; the shared session must not allow
        // fewer connections than that, or the service's limit would never be reached.
        if (delegate && canShareSession_) {
            if (auto service = std::dynamic_pointer_cast<SessionFetcherService>(service_)) {
                auto limit = static_cast<int>(service->maxRunningFetchersPerHost());
                configuration.httpMaximumConnectionsPerHost =
                    limit == 0 ? 0 : std::max(limit, configuration.httpMaximumConnectionsPerHost);
            }
        }
    }
    configuration.httpCookieStorage = cookieStorage_ ? cookieStorage_ : staticCookieStorage();
    if (configurationBlock_) {
        auto block = configurationBlock_;
        lock.unlock();
        block(self(), configuration);
        lock.lock();
    }
    std::shared_ptr<platform::URLSessionDelegate> sessionDelegate;
    bool delegateIsSelf = !(delegate && canShareSession_);
    if (delegateIsSelf) {
        sessionDelegate = std::static_pointer_cast<platform::URLSessionDelegate>(self());
    } else {
        sessionDelegate = delegate;
    }
    auto session = platform::URLSession::sessionWithConfiguration(std::move(configuration), sessionDelegate,
                                                                  delegateQueue_);
    if (delegateIsSelf && session) shouldInvalidateSession_ = true;
    return session;
}

void SessionFetcher::updateUserAgentAsynchronously(std::shared_ptr<UserAgentProvider> provider, bool mayDelay,
                                                   bool mayAuthorize, bool mayDecorate) {
    std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
    internal::globalQueue()->async([weakSelf, provider, mayDelay, mayAuthorize, mayDecorate] {
        std::string userAgent = provider->userAgent();
        auto self = weakSelf.lock();
        if (!self) return;
        bool stopped;
        {
            std::lock_guard lock(self->mutex_);
            if (self->request_)
                self->request_->setValue(std::string_view(userAgent), internal::kUserAgentField);
            stopped = self->userStoppedFetching_;
        }
        if (stopped) {
            self->invokeFetchCallbacksOnCallbackQueue(
                std::nullopt, self->fetcherError(SessionFetcherErrorCode::userCancelled, std::nullopt), false,
                true);
        } else {
            self->beginFetchMayDelay(mayDelay, mayAuthorize, mayDecorate);
        }
    });
}

// ---- Authorization and decorators ----

void SessionFetcher::authorizeRequest() {
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer;
    std::shared_ptr<URLRequest> requestCopy;
    {
        std::lock_guard lock(mutex_);
        authorizer = authorizer_;
        requestCopy = std::make_shared<URLRequest>(request_.value_or(URLRequest()));
    }
    std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
    bool started =
        authorizer &&
        authorizer->authorizeRequest(requestCopy, [weakSelf, requestCopy](std::optional<Error> error) {
            if (auto self = weakSelf.lock())
                self->authorizerRequestFinishedWithError(nullptr, requestCopy, std::move(error));
        });
    if (!started && authorizer) {
        started = authorizer->authorizeRequest(
            requestCopy, std::static_pointer_cast<FetcherAuthorizationDelegate>(self()));
    }
    if (!started) beginFetchMayDelay(false, false, true);
}

void SessionFetcher::authorizerRequestFinishedWithError(const std::shared_ptr<FetcherAuthorizationProtocol>&,
                                                        std::shared_ptr<URLRequest> request,
                                                        std::optional<Error> error) {
    if (error) {
        failToBeginFetchWithError(std::move(error));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (request) request_ = *request;
    }
    beginFetchMayDelay(false, false, true);
}

void SessionFetcher::applyDecoratorsAtRequestWillStart(
    std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators, std::size_t index) {
    if (index >= decorators.size()) {
        beginFetchMayDelay(false, false, false);
        return;
    }
    auto decorator = decorators[index];
    std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
    decorator->fetcherWillStart(
        self(), [weakSelf, decorators, index](std::optional<URLRequest> request, std::optional<Error> error) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (error) {
                self->failToBeginFetchWithError(std::move(error));
                return;
            }
            if (request) self->updateMutableRequest(std::move(request));
            self->applyDecoratorsAtRequestWillStart(decorators, index + 1);
        });
}

void SessionFetcher::applyDecoratorsAtRequestDidFinish(
    std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators, std::optional<Data> data,
    std::optional<Error> error, std::size_t index, bool shouldReleaseCallbacks) {
    if (index >= decorators.size()) {
        invokeFetchCallbacksOnCallbackQueue(std::move(data), std::move(error), false, shouldReleaseCallbacks);
        return;
    }
    auto decorator = decorators[index];
    std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
    // The body goes along the chain shared, never copied per decorator.
    auto body = std::make_shared<std::optional<Data>>(std::move(data));
    decorator->fetcherDidFinish(self(), *body, error,
                                [weakSelf, decorators, body, error, index, shouldReleaseCallbacks] {
                                    if (auto self = weakSelf.lock())
                                        self->applyDecoratorsAtRequestDidFinish(
                                            decorators, std::move(*body), error, index + 1,
                                            shouldReleaseCallbacks);
                                });
}

// ---- Callbacks ----

bool SessionFetcher::isUserStoppedOrServiceStopped() const {
    std::shared_ptr<SessionFetcherServiceProtocol> service;
    std::optional<platform::Date> began;
    {
        std::lock_guard lock(mutex_);
        if (stopFetchingTriggersCompletionHandler_) return false;
        if (userStoppedFetching_) return true;
        service = service_;
        began = initialBeginFetchDate_;
    }
    // The service is asked without holding the fetcher's lock: the service takes fetcher locks under its own.
    if (service && began) {
        if (auto stoppedAll = service->stoppedAllFetchersDate()) return *began <= *stoppedAll;
    }
    return false;
}

void SessionFetcher::invokeOnCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                           bool afterUserStopped, std::function<void()> block) {
    if (!queue || !block) return;
    auto group = callbackGroup_;
    group->enter();
    auto self = shared_from_this();
    queue->async([self, group, afterUserStopped, block = std::move(block)] {
        if (afterUserStopped || !self->isUserStoppedOrServiceStopped()) block();
        group->leave();
    });
}

void SessionFetcher::invokeOnCallbackQueueUnlessStopped(std::function<void()> block) {
    invokeOnCallbackQueueAfterUserStopped(false, std::move(block));
}

void SessionFetcher::invokeOnCallbackQueueAfterUserStopped(bool afterUserStopped,
                                                           std::function<void()> block) {
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = callbackQueue_;
    }
    invokeOnCallbackQueue(std::move(queue), afterUserStopped, std::move(block));
}

void SessionFetcher::invokeFetchCallbacksOnCallbackQueue(std::optional<Data> data, std::optional<Error> error,
                                                         bool mayDecorate, bool shouldReleaseCallbacks) {
    if (mayDecorate) {
        std::shared_ptr<SessionFetcherServiceProtocol> service;
        {
            std::lock_guard lock(mutex_);
            service = service_;
        }
        if (service) {
            auto decorators = service->decorators();
            if (!decorators.empty()) {
                applyDecoratorsAtRequestDidFinish(std::move(decorators), std::move(data), std::move(error), 0,
                                                  shouldReleaseCallbacks);
                return;
            }
        }
    }
    CompletionHandler handler;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        std::lock_guard lock(mutex_);
        handler = completionHandler_;
        queue = callbackQueue_;
        if (shouldReleaseCallbacks) releaseCallbacks();
    }
    if (!handler) return;
    // The body is moved to the completion; the notification's user info holds the one copy made of it, and
    // only when someone observes it.
    auto body = std::make_shared<std::optional<Data>>(std::move(data));
    invokeOnCallbackQueue(queue, false, [self = shared_from_this(), handler, body, error] {
        const bool observed = platform::NotificationCenter::defaultCenter().hasObservers(
            kSessionFetcherCompletionInvokedNotification, self.get());
        Dictionary info;
        if (observed && *body) info[std::string(kSessionFetcherCompletionDataKey)] = **body;
        if (observed && error) info[std::string(kSessionFetcherCompletionErrorKey)] = *error;
        handler(std::move(*body), error);
        if (observed) self->postNotification(kSessionFetcherCompletionInvokedNotification, std::move(info));
    });
}

void SessionFetcher::releaseCallbacks() {
    std::lock_guard lock(mutex_);
    callbackQueue_.reset();
    completionHandler_ = nullptr;
    configurationBlock_ = nullptr;
    didReceiveResponseBlock_ = nullptr;
    challengeBlock_ = nullptr;
    bodyStreamProvider_ = nullptr;
    willRedirectBlock_ = nullptr;
    sendProgressBlock_ = nullptr;
    receivedProgressBlock_ = nullptr;
    downloadProgressBlock_ = nullptr;
    accumulateDataBlock_ = nullptr;
    willCacheURLResponseBlock_ = nullptr;
    retryBlock_ = nullptr;
    testBlock_ = nullptr;
    resumeDataBlock_ = nullptr;
    metricsCollectionBlock_ = nullptr;
}

// ---- Notifications ----

void SessionFetcher::postNotification(std::string_view name, Dictionary userInfo, bool requireAsync) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const bool onMain = platform::isMainThread() && !requireAsync;
    // From another thread a post wakes the main queue; one that nobody observes would deliver nothing there.
    if (!onMain && !center.hasObservers(name, this)) return;
    std::shared_ptr<const void> object = shared_from_this();
    platform::Notification note{std::string(name), object, std::move(userInfo)};
    if (onMain) {
        center.post(note);
    } else {
        platform::DispatchQueue::main()->async(
            [note = std::move(note)] { platform::NotificationCenter::defaultCenter().post(note); });
    }
}

void SessionFetcher::setStopNotificationNeeded(bool needed) {
    std::lock_guard lock(mutex_);
    isStopNotificationNeeded_ = needed;
}

void SessionFetcher::sendStopNotificationIfNeeded() {
    bool needed;
    {
        std::lock_guard lock(mutex_);
        needed = isStopNotificationNeeded_;
        isStopNotificationNeeded_ = false;
    }
    if (needed) postNotification(kSessionFetcherStoppedNotification);
}

// ---- Ending ----

void SessionFetcher::failToBeginFetchWithError(std::optional<Error> error) {
    std::shared_ptr<SessionFetcherServiceProtocol> service;
    std::shared_ptr<platform::URLSession> ownSession;
    {
        std::lock_guard lock(mutex_);
        hasStoppedFetching_ = true;
        service = service_;
        // A session made for this fetch alone holds the fetcher as its delegate until it is invalidated.
        if (shouldInvalidateSession_) {
            ownSession = std::move(session_);
            session_.reset();
            shouldInvalidateSession_ = false;
        }
    }
    if (ownSession) ownSession->finishTasksAndInvalidate();
    if (!error) error = fetcherError(SessionFetcherErrorCode::downloadFailed, std::nullopt);
    invokeFetchCallbacksOnCallbackQueue(std::nullopt, std::move(error), true, true);
    if (service) service->fetcherDidStop(self(), false);
    std::lock_guard lock(mutex_);
    authorizer_.reset();
}

void SessionFetcher::stopFetching() {
    bool release;
    {
        std::lock_guard lock(mutex_);
        userStoppedFetching_ = true;
        release = !stopFetchingTriggersCompletionHandler_;
    }
    stopFetchReleasingCallbacks(release);
}

void SessionFetcher::stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) {
    auto keepAlive = shared_from_this();
    removePersistedBackgroundSessionFromDefaults();
    destroyRetryTimer();

    std::shared_ptr<SessionFetcherServiceProtocol> service;
    std::optional<URLRequest> request;
    bool postponeStopNotification = false;
    bool callbacksPending;
    std::shared_ptr<platform::URLSessionTask> cancelledTask;
    ResumeDataBlock resumeBlock;
    std::shared_ptr<platform::URLSession> sessionToInvalidate;
    {
        std::lock_guard lock(mutex_);
        hasStoppedFetching_ = true;
        service = service_;
        // Copied only for an authorizer to forget; most fetches have none.
        if (authorizer_) request = request_;
        if (sessionTask_) {
            if (!isUsingTestBlock_) {
                if (auto r = sessionTask_->response()) response_ = r;
            }
            auto task = sessionTask_;
            sessionTask_.reset();
            if (task->state() != platform::URLSessionTaskState::completed) {
                auto download = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(task);
                if (resumeDataBlock_ && download) {
                    resumeBlock = resumeDataBlock_;
                    resumeDataBlock_ = nullptr;
                }
                cancelledTask = task;
            }
        }
        if (shouldInvalidateSession_) {
            auto session = session_;
            session_.reset();
            shouldInvalidateSession_ = false;
            if (session) {
                if (!cancelledTask) {
                    sessionToInvalidate = session;
                } else {
                    // Invalidated when the cancelled task reports its completion.
                    sessionNeedingInvalidation_ = session;
                    postponeStopNotification = true;
                }
            }
        }
        callbacksPending = stopFetchingTriggersCompletionHandler_ && userStoppedFetching_;
    }
    if (cancelledTask) {
        if (resumeBlock) {
            auto download = std::static_pointer_cast<platform::URLSessionDownloadTask>(cancelledTask);
            auto group = callbackGroup_;
            group->enter();
            std::shared_ptr<platform::DispatchQueue> queue = callbackQueue();
            download->cancelByProducingResumeData(
                [self = keepAlive, resumeBlock, queue, group](std::optional<Data> data) {
                    self->invokeOnCallbackQueue(queue, true, [resumeBlock, data] { resumeBlock(data); });
                    group->leave();
                });
        } else {
            cancelledTask->cancel();
        }
    }
    if (sessionToInvalidate) sessionToInvalidate->finishTasksAndInvalidate();
    if (!postponeStopNotification) sendStopNotificationIfNeeded();

    std::shared_ptr<FetcherAuthorizationProtocol> authorizer;
    {
        std::lock_guard lock(mutex_);
        authorizer = authorizer_;
        if (authorizer && !request) request = request_;
    }
    if (authorizer && request) authorizer->stopAuthorizationForRequest(*request);
    if (shouldReleaseCallbacks) {
        releaseCallbacks();
        std::lock_guard lock(mutex_);
        authorizer_.reset();
    }
    if (service) service->fetcherDidStop(keepAlive, callbacksPending);
}

void SessionFetcher::finishWithError(std::optional<Error> error, bool shouldRetry) {
    auto keepAlive = shared_from_this();
    removePersistedBackgroundSessionFromDefaults();
    int status = statusCode();
    std::optional<URL> destination = destinationFileURL();
    bool succeeded = !error && status >= 0 && status <= 299;

    std::optional<Data> dataToHandOn;
    if (succeeded) {
        std::lock_guard lock(mutex_);
        if (downloadedData_ && destination) {
            // The body goes to the destination file; a write failure is the fetch's error, not a success.
            auto writeError = internal::writeDataAtomically(*downloadedData_, destination->path());
            if (writeError) {
                downloadFinishedError_ = writeError;
                error = writeError;
                succeeded = false;
            } else {
                downloadedData_.reset();
            }
        } else {
            // The body moves on to the completion; the fetcher keeps no copy of it.
            dataToHandOn = std::move(downloadedData_);
            downloadedData_.reset();
        }
    }
    if (!succeeded && shouldRetry) {
        beginRetryTimer();
        sendStopNotificationIfNeeded();
        return;
    }
    if (!succeeded) {
        if (!error) {
            std::optional<Data> body;
            std::optional<platform::HTTPHeaders> headers;
            {
                std::lock_guard lock(mutex_);
                body =
                    (downloadedData_ && !downloadedData_->empty()) ? downloadedData_ : downloadTaskErrorData_;
                headers = responseHeadersUnsynchronized();
            }
            error = Error(std::string(kSessionFetcherStatusDomain), status,
                          errorUserInfoForData(body, headers).value_or(Dictionary{}));
        } else {
            ResumeDataBlock resumeBlock;
            {
                std::lock_guard lock(mutex_);
                resumeBlock = resumeDataBlock_;
                resumeDataBlock_ = nullptr;
            }
            if (resumeBlock) {
                if (auto* value = error->userInfoValue(platform::kURLSessionDownloadTaskResumeData)) {
                    if (auto* resumeData = value->data()) {
                        Data copy = *resumeData;
                        invokeOnCallbackQueueAfterUserStopped(true,
                                                              [resumeBlock, copy] { resumeBlock(copy); });
                    }
                }
            }
        }
        {
            std::lock_guard lock(mutex_);
            if (downloadedData_ && !downloadedData_->empty()) dataToHandOn = std::move(downloadedData_);
            downloadedData_.reset();
            if (retryCount_ > 0 && initialRequestDate_) {
                Dictionary info = error->userInfo();
                info[std::string(kSessionFetcherElapsedIntervalWithRetriesKey)] =
                    std::chrono::duration<double>(platform::now() - *initialRequestDate_).count();
                info[std::string(kSessionFetcherNumberOfRetriesDoneKey)] =
                    static_cast<std::int64_t>(retryCount_);
                error = Error(error->domain(), error->code(), std::move(info));
            }
        }
    }
    sendStopNotificationIfNeeded();
    invokeFetchCallbacksOnCallbackQueue(std::move(dataToHandOn), std::move(error), true,
                                        shouldReleaseCallbacksUponCompletion());
    stopFetchReleasingCallbacks(false);
}

bool SessionFetcher::isRequestForAuthorizedOriginUnsynchronized() const {
    if (!request_ || !request_->url() || !authorizedOrigin_) return false;
    return request_->url()->origin() == *authorizedOrigin_;
}

bool SessionFetcher::isForAuthorizedOriginUnsynchronized(const platform::URLProtectionSpace& space) const {
    if (!authorizedOrigin_) return false;
    std::string origin = space.protocol + "://" + platform::asciiLowercase(space.host) + ":" +
                         std::to_string(space.port);
    return origin == *authorizedOrigin_;
}

std::optional<Dictionary> SessionFetcher::errorUserInfoForData(
    const std::optional<Data>& data, const std::optional<platform::HTTPHeaders>& headers) const {
    if (!data || data->empty()) return std::nullopt;
    Dictionary info;
    info[std::string(kSessionFetcherStatusDataKey)] = *data;
    if (headers) {
        if (auto contentType = headers->get(internal::kContentTypeField))
            info[std::string(kSessionFetcherStatusDataContentTypeKey)] = *contentType;
    }
    return info;
}

void SessionFetcher::retryFetch() {
    stopFetchReleasingCallbacks(false);
    std::shared_ptr<SessionFetcherServiceProtocol> service;
    {
        std::lock_guard lock(mutex_);
        if (didCreateSessionIdentifier_) {
            if (sessionIdentifier_) internal::forgetSessionIdentifier(*sessionIdentifier_, this);
            sessionIdentifier_.reset();
            didCreateSessionIdentifier_ = false;
            configuration_.reset();
        }
        if (canShareSession_) session_.reset();
    }
    beginFetchForRetry();
}

// ---- Waiting ----

bool SessionFetcher::waitForBaseCompletionWithTimeout(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool onMain = platform::isMainThread();
    while (true) {
        bool done;
        {
            std::lock_guard lock(mutex_);
            bool queueIsMain = !callbackQueue_ || callbackQueue_->isMain();
            onMain = onMain && queueIsMain;
            done = (!sessionTask_ || taskCompleted_) && !completionHandler_ && !retryTimer_;
        }
        if (done && callbackGroup_->wait(std::chrono::milliseconds(onMain ? 0 : 100))) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (platform::isMainThread()) {
            platform::MainLoop::runFor(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

bool SessionFetcher::waitForCompletionWithTimeout(double seconds) {
    return waitForBaseCompletionWithTimeout(seconds);
}

}  // namespace brisko::fetcher
