// The fetcher service: fetcher creation with shared settings, per-host scheduling and the shared session.
#include "fetcher/SessionFetcherService.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/base/Clock.hpp"

namespace brisko::fetcher {

using platform::URLRequest;

namespace {
// A reserved host that never resolves: mock services answer every fetch themselves.
constexpr std::string_view kMockServiceURL = "http://mock.invalid/";

std::shared_ptr<UserAgentProvider> sharedStandardUserAgentProvider() {
    static const auto provider = std::make_shared<StandardUserAgentProvider>();
    return provider;
}

// The host a fetcher is counted under: its request URL's host, "localhost" for file URLs.
std::string hostForFetcher(const std::shared_ptr<SessionFetcher>& fetcher) {
    auto request = fetcher->request();
    if (!request || !request->url()) return {};
    const auto& url = *request->url();
    std::string host = url.host().value_or("");
    if (host.empty() && url.isFileURL()) host = "localhost";
    return host;
}

bool contains(const std::vector<std::shared_ptr<SessionFetcher>>& list,
              const std::shared_ptr<SessionFetcher>& f) {
    return std::find(list.begin(), list.end(), f) != list.end();
}
}  // namespace

SessionFetcherService::SessionFetcherService(SessionFetcher::PrivateTag)
    : callbackQueue_(platform::DispatchQueue::main()),
      // A queue of its own rather than the network thread's: finishing a fetch may move or write its
      // destination file, which must not hold up every other transfer.
      delegateQueue_(platform::DispatchQueue::make(std::string(kSessionFetcherDelegateQueueLabel))),
      userAgentProvider_(sharedStandardUserAgentProvider()) {}

std::shared_ptr<SessionFetcherService> SessionFetcherService::make() {
    auto service = std::make_shared<SessionFetcherService>(SessionFetcher::PrivateTag{});
    service->delegateDispatcher_ =
        std::make_shared<SessionFetcherSessionDelegateDispatcher>(service, service->unusedSessionTimeout_);
    return service;
}

SessionFetcherService::~SessionFetcherService() {
    detachAuthorizer();
    if (delegateDispatcher_) delegateDispatcher_->abandon();
}

// ---- Making fetchers ----

std::shared_ptr<SessionFetcher> SessionFetcherService::fetcherWithRequest(std::optional<URLRequest> request) {
    return fetcherWithRequest<SessionFetcher>(std::move(request));
}

std::shared_ptr<SessionFetcher> SessionFetcherService::fetcherWithURL(const platform::URL& url) {
    return fetcherWithRequest(URLRequest(url));
}

std::shared_ptr<SessionFetcher> SessionFetcherService::fetcherWithURLString(std::string_view text) {
    return fetcherWithRequest(URLRequest(platform::URL::parse(text)));
}

void SessionFetcherService::applySettings(const std::shared_ptr<SessionFetcher>& fetcher) {
    fetcher->setCallbackQueue(serialQueueForNewFetcher(fetcher));
    fetcher->setSessionDelegateQueue(sessionDelegateQueue());
    fetcher->setChallengeBlock(challengeBlock());
    fetcher->setCredential(credential());
    fetcher->setProxyCredential(proxyCredential());
    fetcher->setAuthorizer(authorizer());
    fetcher->setCookieStorage(cookieStorage());
    fetcher->setAllowedInsecureSchemes(allowedInsecureSchemes());
    fetcher->setAllowLocalhostRequest(allowLocalhostRequest());
    fetcher->setAllowInvalidServerCertificates(allowInvalidServerCertificates());
    fetcher->setConfigurationBlock(configurationBlock());
    fetcher->setRetryEnabled(retryEnabled());
    fetcher->setRetryBlock(retryBlock());
    fetcher->setMaxRetryInterval(maxRetryInterval());
    fetcher->setMinRetryInterval(minRetryInterval());
    fetcher->setMetricsCollectionBlock(metricsCollectionBlock());
    fetcher->setStopFetchingTriggersCompletionHandler(stopFetchingTriggersCompletionHandler());
    fetcher->setProperties(properties());
    fetcher->setService(shared_from_this());
    fetcher->setUserAgentProvider(userAgentProvider());
    fetcher->setTestBlock(testBlock());
}

std::shared_ptr<platform::DispatchQueue> SessionFetcherService::serialQueueForNewFetcher(
    const std::shared_ptr<SessionFetcher>&) {
    std::lock_guard lock(mutex_);
    if (!callbackQueueIsConcurrent_) return callbackQueue_;
    // Each fetcher's callbacks stay in order, whatever the queue they end up on.
    return platform::DispatchQueue::make(std::string(kSessionFetcherSerialCallbackQueueLabel));
}

// ---- Settings ----

// Settings read and written under the service lock.
#define BRISKO_SERVICE_LOCKED_PROPERTY(Type, getter, setter, field) \
    Type SessionFetcherService::getter() const {                    \
        std::lock_guard lock(mutex_);                               \
        return field;                                               \
    }                                                               \
    void SessionFetcherService::setter(Type value) {                \
        std::lock_guard lock(mutex_);                               \
        field = std::move(value);                                   \
    }

BRISKO_SERVICE_LOCKED_PROPERTY(std::size_t, maxRunningFetchersPerHost, setMaxRunningFetchersPerHost,
                               maxRunningFetchersPerHost_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::shared_ptr<UserAgentProvider>, userAgentProvider, setUserAgentProvider,
                               userAgentProvider_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::optional<platform::URLSessionConfiguration>, configuration,
                               setConfiguration, configuration_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::shared_ptr<SessionCookieStorage>, cookieStorage, setCookieStorage,
                               cookieStorage_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::optional<platform::URLCredential>, credential, setCredential, credential_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::optional<platform::URLCredential>, proxyCredential, setProxyCredential,
                               proxyCredential_)
BRISKO_SERVICE_LOCKED_PROPERTY(SessionFetcher::ConfigurationBlock, configurationBlock, setConfigurationBlock,
                               configurationBlock_)
BRISKO_SERVICE_LOCKED_PROPERTY(SessionFetcher::ChallengeBlock, challengeBlock, setChallengeBlock,
                               challengeBlock_)
BRISKO_SERVICE_LOCKED_PROPERTY(SessionFetcher::RetryBlock, retryBlock, setRetryBlock, retryBlock_)
BRISKO_SERVICE_LOCKED_PROPERTY(SessionFetcher::MetricsCollectionBlock, metricsCollectionBlock,
                               setMetricsCollectionBlock, metricsCollectionBlock_)
BRISKO_SERVICE_LOCKED_PROPERTY(SessionFetcher::TestBlock, testBlock, setTestBlock, testBlock_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::vector<std::string>, allowedInsecureSchemes, setAllowedInsecureSchemes,
                               allowedInsecureSchemes_)
BRISKO_SERVICE_LOCKED_PROPERTY(std::optional<platform::Dictionary>, properties, setProperties, properties_)
BRISKO_SERVICE_LOCKED_PROPERTY(bool, allowLocalhostRequest, setAllowLocalhostRequest, allowLocalhostRequest_)
BRISKO_SERVICE_LOCKED_PROPERTY(bool, allowInvalidServerCertificates, setAllowInvalidServerCertificates,
                               allowInvalidServerCertificates_)
BRISKO_SERVICE_LOCKED_PROPERTY(bool, retryEnabled, setRetryEnabled, retryEnabled_)
BRISKO_SERVICE_LOCKED_PROPERTY(double, maxRetryInterval, setMaxRetryInterval, maxRetryInterval_)
BRISKO_SERVICE_LOCKED_PROPERTY(double, minRetryInterval, setMinRetryInterval, minRetryInterval_)
BRISKO_SERVICE_LOCKED_PROPERTY(bool, stopFetchingTriggersCompletionHandler,
                               setStopFetchingTriggersCompletionHandler,
                               stopFetchingTriggersCompletionHandler_)

#undef BRISKO_SERVICE_LOCKED_PROPERTY

std::shared_ptr<platform::DispatchQueue> SessionFetcherService::callbackQueue() const {
    std::lock_guard lock(mutex_);
    return callbackQueue_;
}

void SessionFetcherService::setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    setCallbackQueue(std::move(queue), false);
}

void SessionFetcherService::setConcurrentCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    setCallbackQueue(std::move(queue), true);
}

void SessionFetcherService::setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                             bool isConcurrent) {
    std::lock_guard lock(mutex_);
    callbackQueueIsConcurrent_ = queue && isConcurrent;
    callbackQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

std::shared_ptr<platform::DispatchQueue> SessionFetcherService::sessionDelegateQueue() const {
    std::lock_guard lock(mutex_);
    return delegateQueue_;
}

void SessionFetcherService::setSessionDelegateQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    delegateQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

std::optional<std::string> SessionFetcherService::userAgent() const {
    auto provider = userAgentProvider();
    if (!provider) return std::nullopt;
    return provider->userAgent();
}

void SessionFetcherService::setUserAgent(std::optional<std::string> userAgent) {
    std::lock_guard lock(mutex_);
    userAgentProvider_ = userAgent ? std::make_shared<UserAgentStringProvider>(*userAgent) : nullptr;
}

bool SessionFetcherService::reuseSession() const {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_ != nullptr;
}

void SessionFetcherService::setReuseSession(bool reuse) {
    std::lock_guard lock(mutex_);
    if (reuse == (delegateDispatcher_ != nullptr)) return;
    if (delegateDispatcher_) delegateDispatcher_->abandon();
    delegateDispatcher_ = reuse ? std::make_shared<SessionFetcherSessionDelegateDispatcher>(
                                      weak_from_this(), unusedSessionTimeout_)
                                : nullptr;
}

double SessionFetcherService::unusedSessionTimeout() const {
    std::lock_guard lock(mutex_);
    return unusedSessionTimeout_;
}

void SessionFetcherService::setUnusedSessionTimeout(double seconds) {
    std::lock_guard lock(mutex_);
    unusedSessionTimeout_ = seconds;
    if (delegateDispatcher_) delegateDispatcher_->setDiscardInterval(seconds);
}

std::shared_ptr<FetcherAuthorizationProtocol> SessionFetcherService::authorizer() const {
    std::lock_guard lock(mutex_);
    return authorizer_;
}

void SessionFetcherService::setAuthorizer(std::shared_ptr<FetcherAuthorizationProtocol> authorizer) {
    {
        std::lock_guard lock(mutex_);
        if (authorizer == authorizer_) return;
        detachAuthorizer();
        authorizer_ = authorizer;
    }
    if (authorizer) authorizer->setFetcherService(weak_from_this());
}

void SessionFetcherService::detachAuthorizer() {
    std::lock_guard lock(mutex_);
    if (!authorizer_) return;
    auto attached = authorizer_->fetcherService();
    if (attached && attached.get() == static_cast<SessionFetcherServiceProtocol*>(this))
        authorizer_->setFetcherService({});
}

// ---- Decorators ----

void SessionFetcherService::addDecorator(const std::shared_ptr<FetcherDecoratorProtocol>& decorator) {
    std::lock_guard lock(mutex_);
    if (!decorators_) decorators_.emplace();
    decorators_->push_back(decorator);
}

void SessionFetcherService::removeDecorator(const std::shared_ptr<FetcherDecoratorProtocol>& decorator) {
    std::lock_guard lock(mutex_);
    if (!decorators_) return;
    auto it = std::find_if(decorators_->begin(), decorators_->end(),
                           [&](const auto& weak) { return weak.lock() == decorator; });
    if (it != decorators_->end()) decorators_->erase(it);
}

std::vector<std::shared_ptr<FetcherDecoratorProtocol>> SessionFetcherService::decorators() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<FetcherDecoratorProtocol>> live;
    if (!decorators_) return live;
    for (const auto& weak : *decorators_) {
        if (auto d = weak.lock()) live.push_back(std::move(d));
    }
    return live;
}

// ---- Calls from fetchers ----

std::shared_ptr<platform::URLSession> SessionFetcherService::sessionWithCreationBlock(
    const SessionCreationBlock& creationBlock) {
    std::unique_lock creationLock(sessionCreationMutex_, std::defer_lock);
    std::shared_ptr<SessionFetcherSessionDelegateDispatcher> dispatcher;
    {
        std::lock_guard lock(mutex_);
        dispatcher = delegateDispatcher_;
    }
    if (!dispatcher) {
        std::lock_guard lock(mutex_);
        return creationBlock(nullptr);
    }
    // The session-creation lock always comes before the service lock.
    creationLock.lock();
    std::lock_guard lock(mutex_);
    if (!delegateDispatcher_) return creationBlock(nullptr);
    delegateDispatcher_->startSessionUsage();
    if (!delegateDispatcher_->session()) delegateDispatcher_->setSession(creationBlock(delegateDispatcher_));
    return delegateDispatcher_->session();
}

bool SessionFetcherService::fetcherShouldBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) {
    std::string host = hostForFetcher(fetcher);
    if (host.empty()) return true;
    bool usesBackground = fetcher->usingBackgroundSession();
    bool shouldBegin;
    {
        std::lock_guard lock(mutex_);
        auto& running = runningFetchersByHost_[host];
        if (contains(running, fetcher)) return true;
        std::size_t limit = limitUnsynchronized();
        if (!usesBackground && limit > 0 && numberOfNonBackgroundSessionFetchers(running) >= limit) {
            delayedFetchersByHost_[host].push_back(fetcher);
            shouldBegin = false;
        } else {
            running.push_back(fetcher);
            shouldBegin = true;
        }
    }
    fetcher->setServiceHost(host);
    return shouldBegin;
}

std::shared_ptr<SessionFetcherSessionDelegateDispatcher> SessionFetcherService::delegateDispatcherForFetcher(
    const std::shared_ptr<SessionFetcher>& fetcher) const {
    auto session = fetcher->session();
    if (!session) return nullptr;
    auto delegate = session->delegate();
    return std::dynamic_pointer_cast<SessionFetcherSessionDelegateDispatcher>(delegate);
}

void SessionFetcherService::fetcherDidBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) {
    auto dispatcher = delegateDispatcherForFetcher(fetcher);
    auto task = fetcher->sessionTask();
    if (dispatcher && task && dispatcher->session() && dispatcher->session() == fetcher->session()) {
        dispatcher->setFetcher(fetcher, task);
    }
}

void SessionFetcherService::fetcherDidStop(const std::shared_ptr<SessionFetcher>& fetcher,
                                           bool callbacksPending) {
    auto host = fetcher->serviceHost();
    if (!host) return;
    if (!callbacksPending) {
        if (auto dispatcher = delegateDispatcherForFetcher(fetcher)) dispatcher->removeFetcher(fetcher);
    }
    std::vector<std::shared_ptr<SessionFetcher>> toStart;
    {
        std::lock_guard lock(mutex_);
        if (stoppedFetchersToWaitFor_) stoppedFetchersToWaitFor_->push_back(fetcher);
        auto running = runningFetchersByHost_.find(*host);
        if (running != runningFetchersByHost_.end()) std::erase(running->second, fetcher);
        auto delayed = delayedFetchersByHost_.find(*host);
        if (delayed != delayedFetchersByHost_.end()) std::erase(delayed->second, fetcher);

        // Promote waiting fetchers, lowest priority value first, first queued on a tie. A limit of 0 means
        // no limit, so everything waiting may start (it waited under an earlier, lower limit).
        if (delayed != delayedFetchersByHost_.end()) {
            auto& runningList = runningFetchersByHost_[*host];
            std::size_t limit = limitUnsynchronized();
            while (!delayed->second.empty() &&
                   (limit == 0 || numberOfNonBackgroundSessionFetchers(runningList) < limit)) {
                auto best = std::min_element(
                    delayed->second.begin(), delayed->second.end(),
                    [](const auto& a, const auto& b) { return a->servicePriority() < b->servicePriority(); });
                toStart.push_back(*best);
                runningList.push_back(*best);
                delayed->second.erase(best);
            }
        }
        if (auto it = runningFetchersByHost_.find(*host);
            it != runningFetchersByHost_.end() && it->second.empty())
            runningFetchersByHost_.erase(it);
        if (auto it = delayedFetchersByHost_.find(*host);
            it != delayedFetchersByHost_.end() && it->second.empty())
            delayedFetchersByHost_.erase(it);
    }
    for (const auto& next : toStart) startFetcher(next);
    fetcher->setServiceHost(std::nullopt);
}

bool SessionFetcherService::isDelayingFetcher(const std::shared_ptr<SessionFetcher>& fetcher) {
    auto request = fetcher->request();
    if (!request || !request->url()) return false;
    std::string host = request->url()->host().value_or("");
    std::lock_guard lock(mutex_);
    auto it = delayedFetchersByHost_.find(host);
    return it != delayedFetchersByHost_.end() && contains(it->second, fetcher);
}

std::optional<platform::Date> SessionFetcherService::stoppedAllFetchersDate() {
    std::lock_guard lock(mutex_);
    return stoppedAllFetchersDate_;
}

void SessionFetcherService::startFetcher(const std::shared_ptr<SessionFetcher>& fetcher) {
    fetcher->beginFetchMayDelay(false, true, true);
}

void SessionFetcherService::stopFetcher(const std::shared_ptr<SessionFetcher>& fetcher) {
    fetcher->stopFetching();
}

// ---- Queries ----

SessionFetcherService::FetchersByHost SessionFetcherService::runningFetchersByHost() const {
    std::lock_guard lock(mutex_);
    return runningFetchersByHost_;
}

void SessionFetcherService::setRunningFetchersByHost(FetchersByHost table) {
    std::lock_guard lock(mutex_);
    runningFetchersByHost_ = std::move(table);
}

SessionFetcherService::FetchersByHost SessionFetcherService::delayedFetchersByHost() const {
    std::lock_guard lock(mutex_);
    return delayedFetchersByHost_;
}

void SessionFetcherService::setDelayedFetchersByHost(FetchersByHost table) {
    std::lock_guard lock(mutex_);
    delayedFetchersByHost_ = std::move(table);
}

namespace {
std::size_t countFetchers(const SessionFetcherService::FetchersByHost& table) {
    std::size_t n = 0;
    for (const auto& [host, list] : table) n += list.size();
    return n;
}
}  // namespace

std::size_t SessionFetcherService::numberOfFetchers() const {
    std::lock_guard lock(mutex_);
    return countFetchers(runningFetchersByHost_) + countFetchers(delayedFetchersByHost_);
}

std::size_t SessionFetcherService::numberOfRunningFetchers() const {
    std::lock_guard lock(mutex_);
    return countFetchers(runningFetchersByHost_);
}

std::size_t SessionFetcherService::numberOfDelayedFetchers() const {
    std::lock_guard lock(mutex_);
    return countFetchers(delayedFetchersByHost_);
}

std::optional<std::vector<std::shared_ptr<SessionFetcher>>> SessionFetcherService::issuedFetchers() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SessionFetcher>> all;
    for (const auto* table : {&runningFetchersByHost_, &delayedFetchersByHost_}) {
        for (const auto& [host, list] : *table) all.insert(all.end(), list.begin(), list.end());
    }
    if (all.empty()) return std::nullopt;
    return all;
}

std::optional<std::vector<std::shared_ptr<SessionFetcher>>>
SessionFetcherService::issuedFetchersWithRequestURL(const platform::URL& url) const {
    if (!url.host()) return std::nullopt;
    auto issued = issuedFetchers();
    if (!issued) return std::nullopt;
    std::vector<std::shared_ptr<SessionFetcher>> matching;
    for (const auto& fetcher : *issued) {
        auto request = fetcher->request();
        if (request && request->url() && request->url()->absoluteString() == url.absoluteString())
            matching.push_back(fetcher);
    }
    if (matching.empty()) return std::nullopt;
    return matching;
}

std::size_t SessionFetcherService::numberOfNonBackgroundSessionFetchers(
    const std::vector<std::shared_ptr<SessionFetcher>>& fetchers) {
    return static_cast<std::size_t>(std::count_if(
        fetchers.begin(), fetchers.end(), [](const auto& f) { return !f->usingBackgroundSession(); }));
}

std::shared_ptr<SessionFetcherSessionDelegateDispatcher> SessionFetcherService::sessionDelegate() const {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_;
}

std::shared_ptr<platform::URLSession> SessionFetcherService::session() const {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_ ? delegateDispatcher_->session() : nullptr;
}

// ---- Control ----

void SessionFetcherService::stopAllFetchers() {
    FetchersByHost delayed, running;
    {
        std::lock_guard lock(mutex_);
        stoppedAllFetchersDate_ = platform::now();
        delayed.swap(delayedFetchersByHost_);
        running.swap(runningFetchersByHost_);
    }
    for (const auto* table : {&delayed, &running}) {
        for (const auto& [host, list] : *table) {
            for (const auto& fetcher : list) stopFetcher(fetcher);
        }
    }
}

void SessionFetcherService::resetSessionInternal() {
    if (!delegateDispatcher_) return;
    delegateDispatcher_->abandon();
    delegateDispatcher_ =
        std::make_shared<SessionFetcherSessionDelegateDispatcher>(weak_from_this(), unusedSessionTimeout_);
}

void SessionFetcherService::resetSession() {
    std::lock_guard creationLock(sessionCreationMutex_);
    std::lock_guard lock(mutex_);
    resetSessionInternal();
}

void SessionFetcherService::resetSessionForDispatcherDiscardTimer(
    const std::shared_ptr<platform::Timer>& timer) {
    std::lock_guard creationLock(sessionCreationMutex_);
    std::lock_guard lock(mutex_);
    // A timer replaced meanwhile changes nothing.
    if (delegateDispatcher_ && delegateDispatcher_->discardTimer() == timer) resetSessionInternal();
}

bool SessionFetcherService::waitForCompletionOfAllFetchersWithTimeout(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    {
        std::lock_guard lock(mutex_);
        stoppedFetchersToWaitFor_.emplace();
    }
    bool result;
    while (true) {
        std::shared_ptr<SessionFetcher> stopped;
        bool idle;
        {
            std::lock_guard lock(mutex_);
            idle = countFetchers(runningFetchersByHost_) + countFetchers(delayedFetchersByHost_) == 0 &&
                   stoppedFetchersToWaitFor_->empty();
            if (!idle && !stoppedFetchersToWaitFor_->empty()) {
                stopped = stoppedFetchersToWaitFor_->front();
                stoppedFetchersToWaitFor_->erase(stoppedFetchersToWaitFor_->begin());
            }
        }
        if (idle) {
            result = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result = false;
            break;
        }
        if (stopped) stopped->waitForCompletionWithTimeout(0.01);
        if (platform::isMainThread()) {
            platform::MainLoop::runFor(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::lock_guard lock(mutex_);
    stoppedFetchersToWaitFor_.reset();
    return result;
}

// ---- Test services ----

std::shared_ptr<SessionFetcherService> SessionFetcherService::mockFetcherServiceWithFakedData(
    std::optional<platform::Data> data, std::optional<platform::Error> error) {
    auto url = *platform::URL::parse(kMockServiceURL);
    auto response = std::make_shared<const platform::HTTPURLResponse>(url, error ? 500 : 200, "HTTP/1.1",
                                                                      platform::HTTPHeaders{});
    return mockFetcherServiceWithFakedData(std::move(data), std::move(response), std::move(error));
}

std::shared_ptr<SessionFetcherService> SessionFetcherService::mockFetcherServiceWithFakedData(
    std::optional<platform::Data> data, std::shared_ptr<const platform::HTTPURLResponse> response,
    std::optional<platform::Error> error) {
    auto service = make();
    service->setAllowedInsecureSchemes({"http"});
    service->setTestBlock(
        [data, response, error](std::shared_ptr<SessionFetcher>, SessionFetcher::TestResponse reply) {
            reply(response, data, error);
        });
    return service;
}

}  // namespace brisko::fetcher
