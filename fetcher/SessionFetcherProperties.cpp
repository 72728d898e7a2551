// The fetcher's properties: plain locked accessors, and the few with rules of their own.
#include <filesystem>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

using platform::Data;

// Properties that only read or store a value under the fetcher's lock.
#define BRISKO_FETCHER_LOCKED_PROPERTY(Type, getter, setter, field) \
    Type SessionFetcher::getter() const {                           \
        std::lock_guard lock(mutex_);                               \
        return field;                                               \
    }                                                               \
    void SessionFetcher::setter(Type value) {                       \
        std::lock_guard lock(mutex_);                               \
        field = std::move(value);                                   \
    }

BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<Data>, bodyData, setBodyData, bodyData_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<platform::URL>, bodyFileURL, setBodyFileURL, bodyFileURL_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<SessionFetcher::BodyFileRange>, bodyFileRange, setBodyFileRange,
                               bodyFileRange_)
BRISKO_FETCHER_LOCKED_PROPERTY(bool, useUploadTask, setUseUploadTask, useUploadTask_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::BodyStreamProvider, bodyStreamProvider, setBodyStreamProvider,
                               bodyStreamProvider_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<Data>, downloadResumeData, setDownloadResumeData,
                               downloadResumeData_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<platform::URLSessionConfiguration>, configuration,
                               setConfiguration, configuration_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::ConfigurationBlock, configurationBlock, setConfigurationBlock,
                               configurationBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::shared_ptr<platform::URLSession>, session, setSession, session_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::shared_ptr<platform::URLSession>, sessionNeedingInvalidation,
                               setSessionNeedingInvalidation, sessionNeedingInvalidation_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::string, taskDescription, setTaskDescription, taskDescription_)
BRISKO_FETCHER_LOCKED_PROPERTY(float, taskPriority, setTaskPriority, taskPriority_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::shared_ptr<SessionFetcherServiceProtocol>, service, setService, service_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<std::string>, serviceHost, setServiceHost, serviceHost_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<platform::URLCredential>, credential, setCredential, credential_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<platform::URLCredential>, proxyCredential, setProxyCredential,
                               proxyCredential_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::vector<std::string>, allowedInsecureSchemes, setAllowedInsecureSchemes,
                               allowedInsecureSchemes_)
BRISKO_FETCHER_LOCKED_PROPERTY(bool, allowLocalhostRequest, setAllowLocalhostRequest, allowLocalhostRequest_)
BRISKO_FETCHER_LOCKED_PROPERTY(bool, allowInvalidServerCertificates, setAllowInvalidServerCertificates,
                               allowInvalidServerCertificates_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::shared_ptr<SessionCookieStorage>, cookieStorage, setCookieStorage,
                               cookieStorage_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::shared_ptr<UserAgentProvider>, userAgentProvider, setUserAgentProvider,
                               userAgentProvider_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::CompletionHandler, completionHandler, setCompletionHandler,
                               completionHandler_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::WillRedirectBlock, willRedirectBlock, setWillRedirectBlock,
                               willRedirectBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::DidReceiveResponseBlock, didReceiveResponseBlock,
                               setDidReceiveResponseBlock, didReceiveResponseBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::ChallengeBlock, challengeBlock, setChallengeBlock,
                               challengeBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::SendProgressBlock, sendProgressBlock, setSendProgressBlock,
                               sendProgressBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::AccumulateDataBlock, accumulateDataBlock,
                               setAccumulateDataBlock, accumulateDataBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::ReceivedProgressBlock, receivedProgressBlock,
                               setReceivedProgressBlock, receivedProgressBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::DownloadProgressBlock, downloadProgressBlock,
                               setDownloadProgressBlock, downloadProgressBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::ResumeDataBlock, resumeDataBlock, setResumeDataBlock,
                               resumeDataBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::WillCacheURLResponseBlock, willCacheURLResponseBlock,
                               setWillCacheURLResponseBlock, willCacheURLResponseBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::MetricsCollectionBlock, metricsCollectionBlock,
                               setMetricsCollectionBlock, metricsCollectionBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(SessionFetcher::TestBlock, testBlock, setTestBlock, testBlock_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::size_t, testBlockAccumulateDataChunkCount,
                               setTestBlockAccumulateDataChunkCount, testBlockAccumulateDataChunkCount_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::optional<platform::Value>, userData, setUserData, userData_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::string, comment, setComment, comment_)
BRISKO_FETCHER_LOCKED_PROPERTY(std::string, log, setLog, log_)

#undef BRISKO_FETCHER_LOCKED_PROPERTY

namespace {
constexpr std::string_view kAppTransportSecurityKey = "NSAppTransportSecurity";
constexpr std::string_view kAllowsArbitraryLoadsKey = "NSAllowsArbitraryLoads";

std::mutex& insecureOverrideMutex() {
    static std::mutex m;
    return m;
}
std::optional<bool>& insecureOverride() {
    static std::optional<bool> value;
    return value;
}
}  // namespace

std::shared_ptr<FetcherAuthorizationProtocol> SessionFetcher::authorizer() const {
    std::lock_guard lock(mutex_);
    return authorizer_;
}

void SessionFetcher::setAuthorizer(std::shared_ptr<FetcherAuthorizationProtocol> authorizer) {
    std::lock_guard lock(mutex_);
    if (isFetchingUnsynchronized()) return;
    authorizer_ = std::move(authorizer);
}

bool SessionFetcher::isFetchingUnsynchronized() const {
    return hasBegun_ && !hasStoppedFetching_;
}

bool SessionFetcher::isFetching() const {
    std::lock_guard lock(mutex_);
    return isFetchingUnsynchronized();
}

bool SessionFetcher::userStoppedFetching() const {
    std::lock_guard lock(mutex_);
    return userStoppedFetching_;
}

std::optional<platform::URLRequest> SessionFetcher::request() const {
    std::lock_guard lock(mutex_);
    return request_;
}

void SessionFetcher::setRequest(std::optional<platform::URLRequest> request) {
    std::lock_guard lock(mutex_);
    if (isFetchingUnsynchronized()) return;
    request_ = std::move(request);
}

void SessionFetcher::setRequestValue(std::optional<std::string> value, std::string_view field) {
    std::lock_guard lock(mutex_);
    if (isFetchingUnsynchronized() || !request_) return;
    request_->setValue(value, field);
}

void SessionFetcher::updateMutableRequest(std::optional<platform::URLRequest> request) {
    std::lock_guard lock(mutex_);
    request_ = std::move(request);
}

void SessionFetcher::updateRequestValue(std::optional<std::string> value, std::string_view field) {
    std::lock_guard lock(mutex_);
    if (request_) request_->setValue(value, field);
}

SessionFetcher::ResponsePtr SessionFetcher::responseUnsynchronized() const {
    if (sessionTask_) {
        if (auto r = sessionTask_->response()) return r;
    }
    return response_;
}

SessionFetcher::ResponsePtr SessionFetcher::response() const {
    std::lock_guard lock(mutex_);
    return responseUnsynchronized();
}

void SessionFetcher::setResponse(ResponsePtr response) {
    std::lock_guard lock(mutex_);
    response_ = std::move(response);
}

int SessionFetcher::statusCodeUnsynchronized() const {
    auto r = responseUnsynchronized();
    return r ? r->statusCode() : 0;
}

int SessionFetcher::statusCode() const {
    std::lock_guard lock(mutex_);
    return statusCodeUnsynchronized();
}

std::optional<platform::HTTPHeaders> SessionFetcher::responseHeadersUnsynchronized() const {
    auto r = responseUnsynchronized();
    if (!r) return std::nullopt;
    return r->allHeaderFields();
}

std::optional<platform::HTTPHeaders> SessionFetcher::responseHeaders() const {
    std::lock_guard lock(mutex_);
    return responseHeadersUnsynchronized();
}

std::int64_t SessionFetcher::bodyLength() const {
    std::lock_guard lock(mutex_);
    if (bodyLength_ != -1) return bodyLength_;
    if (bodyData_) return static_cast<std::int64_t>(bodyData_->size());
    if (bodyFileURL_ && bodyFileRange_) return bodyFileRange_->length;
    if (bodyFileURL_) {
        std::error_code ec;
        auto size = std::filesystem::file_size(bodyFileURL_->path(), ec);
        if (!ec) return static_cast<std::int64_t>(size);
    }
    return -1;
}

std::optional<platform::URL> SessionFetcher::destinationFileURL() const {
    std::lock_guard lock(mutex_);
    return destinationFileURL_;
}

void SessionFetcher::setDestinationFileURL(std::optional<platform::URL> url) {
    std::lock_guard lock(mutex_);
    if (sessionIdentifier_ && destinationFileURL_ != url) {
        auto text = [](const std::optional<platform::URL>& u) {
            return u ? u->description() : std::string("(null)");
        };
        platform::log(platform::LogLevel::error, "fetcher",
                      platform::format(
                          "%@: Destination File URL changed from (%@) to (%@) after session identifier has "
                          "been created.",
                          {description(), text(destinationFileURL_), text(url)}));
    }
    destinationFileURL_ = std::move(url);
}

std::optional<Data> SessionFetcher::downloadedData() const {
    std::lock_guard lock(mutex_);
    return downloadedData_;
}

void SessionFetcher::setDownloadedData(std::optional<Data> data) {
    std::lock_guard lock(mutex_);
    downloadedData_ = std::move(data);
}

std::int64_t SessionFetcher::downloadedLength() const {
    std::lock_guard lock(mutex_);
    return downloadedLength_;
}

std::shared_ptr<platform::DispatchQueue> SessionFetcher::callbackQueue() const {
    std::lock_guard lock(mutex_);
    return callbackQueue_;
}

void SessionFetcher::setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    callbackQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

std::shared_ptr<platform::DispatchQueue> SessionFetcher::sessionDelegateQueue() const {
    std::lock_guard lock(mutex_);
    return delegateQueue_;
}

void SessionFetcher::setSessionDelegateQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    if (isFetchingUnsynchronized()) return;
    delegateQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

std::shared_ptr<platform::URLSessionTask> SessionFetcher::sessionTask() const {
    std::lock_guard lock(mutex_);
    return sessionTask_;
}

void SessionFetcher::setSessionTask(std::shared_ptr<platform::URLSessionTask> task) {
    std::lock_guard lock(mutex_);
    if (task == sessionTask_) return;
    sessionTask_ = std::move(task);
    if (sessionTask_ && !request_) request_ = sessionTask_->originalRequest();
}

bool SessionFetcher::canShareSession() const {
    std::lock_guard lock(mutex_);
    return canShareSession_;
}

bool SessionFetcher::stopFetchingTriggersCompletionHandler() const {
    std::lock_guard lock(mutex_);
    return stopFetchingTriggersCompletionHandler_;
}

void SessionFetcher::setStopFetchingTriggersCompletionHandler(bool value) {
    std::lock_guard lock(mutex_);
    if (hasBegun_) return;
    stopFetchingTriggersCompletionHandler_ = value;
}

std::optional<platform::Dictionary> SessionFetcher::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

void SessionFetcher::setProperties(std::optional<platform::Dictionary> properties) {
    std::lock_guard lock(mutex_);
    properties_ = std::move(properties);
}

void SessionFetcher::setProperty(std::string_view key, std::optional<platform::Value> value) {
    std::lock_guard lock(mutex_);
    if (!value) {
        if (properties_) properties_->erase(std::string(key));
        return;
    }
    if (!properties_) properties_ = platform::Dictionary{};
    (*properties_)[std::string(key)] = std::move(*value);
}

std::optional<platform::Value> SessionFetcher::propertyForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (!properties_) return std::nullopt;
    auto it = properties_->find(key);
    if (it == properties_->end()) return std::nullopt;
    return it->second;
}

void SessionFetcher::addPropertiesFromDictionary(const platform::Dictionary& dictionary) {
    std::lock_guard lock(mutex_);
    if (!properties_) properties_ = platform::Dictionary{};
    for (const auto& [key, value] : dictionary) (*properties_)[key] = value;
}

std::optional<platform::Date> SessionFetcher::initialBeginFetchDate() const {
    std::lock_guard lock(mutex_);
    return initialBeginFetchDate_;
}

std::optional<platform::Date> SessionFetcher::initialRequestDate() const {
    std::lock_guard lock(mutex_);
    return initialRequestDate_;
}

bool SessionFetcher::appAllowsInsecureRequests() {
    {
        std::lock_guard lock(insecureOverrideMutex());
        if (insecureOverride()) return *insecureOverride();
    }
    // What the information property list says; the fetcher's scheme rules apply either way (see begin).
    static const bool fromInfo = [] {
        auto bundle = platform::Bundle::main();
        const auto* ats = bundle ? bundle->objectForInfoDictionaryKey(kAppTransportSecurityKey) : nullptr;
        const auto* dict = ats ? ats->dictionary() : nullptr;
        if (!dict) return true;
        auto it = dict->find(kAllowsArbitraryLoadsKey);
        if (it == dict->end()) return true;
        return it->second.boolean().value_or(it->second.integer().value_or(0) != 0);
    }();
    return fromInfo;
}

void SessionFetcher::setAppAllowsInsecureRequestsForTesting(std::optional<bool> value) {
    std::lock_guard lock(insecureOverrideMutex());
    insecureOverride() = value;
}

std::shared_ptr<SessionCookieStorage> SessionFetcher::staticCookieStorage() {
    static const auto storage = std::make_shared<SessionCookieStorage>();
    return storage;
}

}  // namespace brisko::fetcher
