// The resumable upload: start request, chunk fetchers, offset queries with backoff, pause, stop and cancel.
#include "fetcher/SessionUploadFetcher.hpp"
#include "fetcher/internal/HeaderFields.hpp"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

#include "fetcher/SessionFetcherService.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

using platform::Data;
using platform::Dictionary;
using platform::Error;
using platform::URL;
using platform::URLRequest;

namespace {

constexpr std::string_view kChunkParentPropertyKey = "_uploadFetcherChunkParent";
constexpr std::string_view kDescriptionKey = "description";
constexpr std::string_view kTemporaryChunkFilePrefix = "ETMUpload_temp_";
constexpr std::string_view kChunkDataNilText = "chunkData is nil";
constexpr std::string_view kRetryLimitReachedText = "Retry Limit Reached";
constexpr std::string_view kNoProgressText = "Upload made no progress: the server holds %lld bytes after %d chunks";
// A server that keeps answering "active" without taking the chunks ends the upload after this many replies.
constexpr int kMaxChunksWithoutProgress = 8;
constexpr std::string_view kLogCategory = "fetcher";
// A tail shorter than this goes with the chunk before it.
constexpr std::int64_t kMinimumTailLength = 2500;
constexpr double kDefaultMinUploadRetryInterval = 1.0;
constexpr double kDefaultMaxUploadRetryInterval = 600.0;
constexpr double kDefaultUploadRetryFactor = 2.0;

std::optional<std::int64_t> headerInteger(const std::optional<platform::HTTPHeaders>& headers,
                                          std::string_view name) {
    if (!headers) return std::nullopt;
    auto text = headers->get(name);
    if (!text) return std::nullopt;
    std::int64_t value = 0;
    auto trimmed = platform::trimWhitespaceAndNewlines(*text);
    auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    if (ec != std::errc() || end == trimmed.data()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> requestInteger(const std::optional<URLRequest>& request, std::string_view name) {
    if (!request) return std::nullopt;
    return headerInteger(request->allHTTPHeaderFields(), name);
}

std::string makeUUID() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%016llX%016llX", static_cast<unsigned long long>(generator()),
                  static_cast<unsigned long long>(generator()));
    return buffer;
}

std::string fileRangeErrorText(std::int64_t offset, std::int64_t length, std::int64_t fileLength,
                               std::int64_t fullLength) {
    return platform::format(
        "Range invalid for upload data.  offset: %lld\tlength: %lld\tdataLength: %lld\texpected "
        "UploadLength: %lld",
        {offset, length, fileLength, fullLength});
}

// Whether `length` bytes from `offset` can be read from the file: the error of opening it, or the text of
// a range that does not fit in it.
struct FileRangeCheck {
    std::optional<Error> error;
    std::optional<std::string> rangeError;
};

FileRangeCheck checkFileRange(const std::string& path, std::int64_t offset, std::int64_t length,
                              std::int64_t fullLength) {
    FileRangeCheck result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        result.error = internal::fileError(errno, path);
        return result;
    }
    auto fileLength = static_cast<std::int64_t>(info.st_size);
    if (offset < 0 || length < 0 || offset > fileLength || length > fileLength - offset)
        result.rangeError = fileRangeErrorText(offset, length, fileLength, fullLength);
    return result;
}

}  // namespace

// ---- Construction ----

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::uploadFetcherWithRequest(
    std::optional<URLRequest> request, const std::shared_ptr<SessionFetcherService>& service) {
    std::shared_ptr<SessionUploadFetcher> fetcher =
        service ? service->fetcherWithRequest<SessionUploadFetcher>(std::move(request))
                : makeFetcher<SessionUploadFetcher>(std::move(request), std::nullopt);
    fetcher->setUseBackgroundSession(true);
    return fetcher;
}

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::uploadFetcherWithRequest(
    std::optional<URLRequest> request, std::optional<std::string> uploadMIMEType, std::int64_t chunkSize,
    const std::shared_ptr<SessionFetcherService>& service) {
    bool cellular = request ? request->allowsCellularAccess() : true;
    auto fetcher = uploadFetcherWithRequest(std::move(request), service);
    fetcher->setLocationURL(std::nullopt, std::move(uploadMIMEType), chunkSize, cellular);
    return fetcher;
}

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::uploadFetcherWithLocation(
    std::optional<URL> location, std::optional<std::string> uploadMIMEType, std::int64_t chunkSize,
    const std::shared_ptr<SessionFetcherService>& service, bool allowsCellularAccess) {
    auto fetcher = uploadFetcherWithRequest(std::nullopt, service);
    fetcher->setLocationURL(std::move(location), std::move(uploadMIMEType), chunkSize, allowsCellularAccess);
    return fetcher;
}

UploadStatus SessionUploadFetcher::uploadStatusFromResponseHeaders(
    const std::optional<platform::HTTPHeaders>& headers) {
    if (!headers) return UploadStatus::unknown;
    auto status = headers->get(kUploadStatusHeader);
    if (!status) return UploadStatus::unknown;
    if (*status == "active") return UploadStatus::active;
    if (*status == "final") return UploadStatus::final;
    if (*status == "cancelled") return UploadStatus::cancelled;
    return UploadStatus::unknown;
}

void SessionUploadFetcher::setLocationURL(std::optional<URL> location,
                                          std::optional<std::string> uploadMIMEType, std::int64_t chunkSize,
                                          bool allowsCellularAccess) {
    std::lock_guard lock(uploadMutex_);
    isRestartedUpload_ = location.has_value();
    uploadLocationURL_ = std::move(location);
    uploadMIMEType_ = std::move(uploadMIMEType);
    // A size of zero or less would never move the offset: such an upload goes in as few requests as allowed.
    chunkSize_ = chunkSize > 0 ? chunkSize : std::numeric_limits<std::int64_t>::max();
    allowsCellularAccess_ = allowsCellularAccess;
    uploadFileLength_ = -1;
    recentChunkStatusCode_ = -1;
}

// Accessors that only read or store a value under the upload lock.
#define BRISKO_UPLOAD_LOCKED_GETTER(Type, getter, field) \
    Type SessionUploadFetcher::getter() const {          \
        std::lock_guard lock(uploadMutex_);              \
        return field;                                    \
    }
#define BRISKO_UPLOAD_LOCKED_SETTER(Type, setter, field) \
    void SessionUploadFetcher::setter(Type value) {      \
        std::lock_guard lock(uploadMutex_);              \
        field = std::move(value);                        \
    }

BRISKO_UPLOAD_LOCKED_GETTER(std::optional<Data>, uploadData, uploadData_)
BRISKO_UPLOAD_LOCKED_GETTER(std::shared_ptr<std::istream>, uploadFileHandle, uploadFileHandle_)
BRISKO_UPLOAD_LOCKED_GETTER(std::optional<URL>, uploadFileURL, uploadFileURL_)
BRISKO_UPLOAD_LOCKED_GETTER(std::optional<std::string>, uploadMIMEType, uploadMIMEType_)
BRISKO_UPLOAD_LOCKED_GETTER(std::int64_t, chunkSize, chunkSize_)
BRISKO_UPLOAD_LOCKED_GETTER(SessionFetcher::CompletionHandler, delegateCompletionHandler,
                            delegateCompletionHandler_)
BRISKO_UPLOAD_LOCKED_GETTER(std::shared_ptr<platform::DispatchQueue>, delegateCallbackQueue,
                            delegateCallbackQueue_)
BRISKO_UPLOAD_LOCKED_GETTER(SessionUploadFetcher::CancellationHandler, cancellationHandler,
                            cancellationHandler_)
BRISKO_UPLOAD_LOCKED_GETTER(bool, isPaused, isPaused_)
BRISKO_UPLOAD_LOCKED_GETTER(std::shared_ptr<SessionFetcher>, chunkFetcher, chunkFetcher_)
BRISKO_UPLOAD_LOCKED_GETTER(std::optional<URL>, uploadLocationURL, uploadLocationURL_)
BRISKO_UPLOAD_LOCKED_GETTER(std::int64_t, currentOffset, currentOffset_)
BRISKO_UPLOAD_LOCKED_GETTER(std::optional<URLRequest>, lastChunkRequest, lastChunkRequest_)
BRISKO_UPLOAD_LOCKED_GETTER(double, uploadRetryFactor, uploadRetryFactor_)
BRISKO_UPLOAD_LOCKED_GETTER(double, maxUploadRetryInterval, maxUploadRetryInterval_)
BRISKO_UPLOAD_LOCKED_GETTER(double, minUploadRetryInterval, minUploadRetryInterval_)
BRISKO_UPLOAD_LOCKED_GETTER(double, nextUploadRetryInterval, nextUploadRetryInterval_)
BRISKO_UPLOAD_LOCKED_GETTER(std::shared_ptr<platform::Timer>, uploadRetryTimer, uploadRetryTimer_)
BRISKO_UPLOAD_LOCKED_GETTER(bool, allowsCellularAccess, allowsCellularAccess_)
BRISKO_UPLOAD_LOCKED_GETTER(std::int64_t, uploadGranularity, uploadGranularity_)
BRISKO_UPLOAD_LOCKED_GETTER(bool, shouldInitiateOffsetQuery, shouldInitiateOffsetQuery_)
BRISKO_UPLOAD_LOCKED_GETTER(bool, isSubdataGenerating, subdataGenerating_)
BRISKO_UPLOAD_LOCKED_SETTER(std::optional<std::string>, setUploadMIMEType, uploadMIMEType_)
BRISKO_UPLOAD_LOCKED_SETTER(CompletionHandler, setCompletionHandler, delegateCompletionHandler_)
BRISKO_UPLOAD_LOCKED_SETTER(std::shared_ptr<platform::DispatchQueue>, setDelegateCallbackQueue,
                            delegateCallbackQueue_)
BRISKO_UPLOAD_LOCKED_SETTER(CancellationHandler, setCancellationHandler, cancellationHandler_)
BRISKO_UPLOAD_LOCKED_SETTER(std::int64_t, setCurrentOffset, currentOffset_)
BRISKO_UPLOAD_LOCKED_SETTER(double, setUploadRetryFactor, uploadRetryFactor_)

#undef BRISKO_UPLOAD_LOCKED_GETTER
#undef BRISKO_UPLOAD_LOCKED_SETTER

// ---- Payload sources ----

void SessionUploadFetcher::setUploadData(std::optional<Data> data) {
    {
        std::lock_guard lock(uploadMutex_);
        if (uploadData_ == data) return;
        uploadData_ = std::move(data);
    }
    setupRequestHeaders();
}

void SessionUploadFetcher::setUploadFileHandle(std::shared_ptr<std::istream> handle) {
    {
        std::lock_guard lock(uploadMutex_);
        if (uploadFileHandle_ == handle) return;
        uploadFileHandle_ = std::move(handle);
    }
    setupRequestHeaders();
}

void SessionUploadFetcher::setUploadFileURL(std::optional<URL> url) {
    {
        std::lock_guard lock(uploadMutex_);
        if (uploadFileURL_ == url) return;
        uploadFileURL_ = std::move(url);
    }
    setupRequestHeaders();
}

void SessionUploadFetcher::setUploadDataLength(std::int64_t fullLength, DataProvider provider) {
    {
        std::lock_guard lock(uploadMutex_);
        uploadDataProvider_ = std::move(provider);
        uploadFileLength_ = fullLength;
    }
    setupRequestHeaders();
}

void SessionUploadFetcher::setUploadFileLength(std::int64_t length) {
    std::lock_guard lock(uploadMutex_);
    if (uploadFileLength_ == -1 && length != -1) uploadFileLength_ = length;
}

std::int64_t SessionUploadFetcher::fullUploadLength() {
    std::lock_guard lock(uploadMutex_);
    return fullUploadLengthUnsynchronized();
}

std::int64_t SessionUploadFetcher::fullUploadLengthUnsynchronized() {
    if (uploadData_) return static_cast<std::int64_t>(uploadData_->size());
    if (uploadFileLength_ != -1) return uploadFileLength_;
    if (uploadFileHandle_) {
        uploadFileHandle_->clear();
        uploadFileHandle_->seekg(0, std::ios::end);
        auto end = uploadFileHandle_->tellg();
        uploadFileLength_ = end < 0 ? 0 : static_cast<std::int64_t>(end);
        return uploadFileLength_;
    }
    if (!uploadDataProvider_) {
        std::error_code ec;
        auto size = uploadFileURL_ ? std::filesystem::file_size(uploadFileURL_->path(), ec) : 0;
        uploadFileLength_ = ec ? 0 : static_cast<std::int64_t>(size);
        return uploadFileLength_;
    }
    return -1;
}

void SessionUploadFetcher::setupRequestHeaders() {
    auto request = this->request();
    if (!request) return;
    std::int64_t length;
    std::optional<std::string> mimeType;
    {
        std::lock_guard lock(uploadMutex_);
        length = fullUploadLengthUnsynchronized();
        mimeType = uploadMIMEType_;
    }
    request->setValue(kUploadProtocolResumable, kUploadProtocolHeader);
    request->setValue(kUploadCommandStart, kUploadCommandHeader);
    request->setValue(mimeType, kUploadContentTypeHeader);
    request->setValue(std::optional<std::string>(std::to_string(length)), kUploadContentLengthHeader);
    if (request->httpMethod().empty() || platform::equalsIgnoringASCIICase(request->httpMethod(), "GET")) {
        request->setHTTPMethod("POST");
    }
    std::string userAgent = request->valueForHTTPHeaderField(internal::kUserAgentField)
                                .value_or(standardUserAgentString(nullptr));
    if (userAgent.find(kUploadUserAgentSuffix) == std::string::npos) {
        userAgent += platform::format(" %@", {std::string(kUploadUserAgentSuffix)});
    }
    request->setValue(std::string_view(userAgent), internal::kUserAgentField);
    updateMutableRequest(std::move(request));
}

// ---- Callbacks and settings ----

std::shared_ptr<SessionFetcher> SessionUploadFetcher::activeFetcher() const {
    std::lock_guard lock(uploadMutex_);
    if (fetcherInFlight_) return fetcherInFlight_;
    return std::const_pointer_cast<SessionUploadFetcher>(
        std::static_pointer_cast<const SessionUploadFetcher>(shared_from_this()));
}

void SessionUploadFetcher::setMaxUploadRetryInterval(double seconds) {
    std::lock_guard lock(uploadMutex_);
    maxUploadRetryInterval_ = seconds > 0 ? seconds : kDefaultMaxUploadRetryInterval;
}

void SessionUploadFetcher::setMinUploadRetryInterval(double seconds) {
    std::lock_guard lock(uploadMutex_);
    minUploadRetryInterval_ = seconds > 0 ? seconds : kDefaultMinUploadRetryInterval;
}

Error SessionUploadFetcher::prematureFailureError(const std::optional<Data>& data) const {
    Dictionary info;
    if (data && !data->empty()) info[std::string(kSessionFetcherStatusDataKey)] = *data;
    return Error(std::string(kSessionFetcherStatusDomain), 501, std::move(info));
}

Error SessionUploadFetcher::chunkUnavailableError(std::string description) const {
    Dictionary info;
    info[std::string(kDescriptionKey)] = std::move(description);
    return Error(std::string(kSessionFetcherErrorDomain),
                 static_cast<std::int64_t>(SessionFetcherErrorCode::uploadChunkUnavailable), std::move(info));
}

bool SessionUploadFetcher::acceptsReceivedSize(std::int64_t received) {
    std::int64_t fullLength = fullUploadLength();
    if (received >= 0 && (fullLength < 0 || received <= fullLength)) return true;
    platform::log(platform::LogLevel::error, kLogCategory,
                  platform::format("Upload server reported %lld bytes received of %lld", {received, fullLength}));
    return false;
}

void SessionUploadFetcher::readGranularity(const std::optional<platform::HTTPHeaders>& headers) {
    auto granularity = headerInteger(headers, kUploadChunkGranularityHeader);
    std::lock_guard lock(uploadMutex_);
    uploadGranularity_ = granularity && *granularity > 0 ? *granularity : 0;
}

// ---- Begin and the start request ----

void SessionUploadFetcher::beginFetchWithCompletionHandler(CompletionHandler handler) {
    bool restarted, paused;
    {
        std::lock_guard lock(uploadMutex_);
        initialBodyLength_ = bodyLength() < 0 ? 0 : bodyLength();
        minUploadRetryInterval_ = kDefaultMinUploadRetryInterval;
        maxUploadRetryInterval_ = kDefaultMaxUploadRetryInterval;
        uploadRetryFactor_ = kDefaultUploadRetryFactor;
        delegateCallbackQueue_ = callbackQueue();
        delegateCompletionHandler_ = std::move(handler);
        restarted = isRestartedUpload_;
        paused = isPaused_;
        if (!restarted) selfInFlight_ = true;
    }
    if (!restarted) {
        std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
        SessionFetcher::beginFetchWithCompletionHandler(
            [weakSelf](std::optional<Data> data, std::optional<Error> error) {
                if (auto self = weakSelf.lock()) self->startFetchFinished(std::move(data), std::move(error));
            });
    } else if (!paused) {
        sendQueryForUploadOffsetWithFetcherProperties(properties());
    }
}

void SessionUploadFetcher::beginFetchForRetry() {
    {
        std::lock_guard lock(uploadMutex_);
        initialBodyLength_ = bodyLength() < 0 ? 0 : bodyLength();
        selfInFlight_ = true;
    }
    SessionFetcher::beginFetchForRetry();
}

void SessionUploadFetcher::startFetchFinished(std::optional<Data> data, std::optional<Error> error) {
    {
        std::lock_guard lock(uploadMutex_);
        selfInFlight_ = false;
    }
    if (testBlock()) {
        // A simulated start: produce the payload once, as the network would have read it, then finish.
        auto self = uploadSelf();
        generateChunkSubdata(0, fullUploadLength(),
                             [self, data, error](std::optional<Data>, std::int64_t, std::optional<Error>) {
                                 self->invokeFinalCallback(data, error, true);
                             });
        return;
    }
    if (error) {
        if (!hasRetryTimer()) invokeFinalCallback(std::nullopt, std::move(error), true);
        return;
    }
    beginChunkFetches(std::move(data));
}

void SessionUploadFetcher::beginChunkFetches(std::optional<Data> data) {
    auto headers = SessionFetcher::responseHeaders();
    readGranularity(headers);
    auto status = uploadStatusFromResponseHeaders(headers);
    auto location = headers ? headers->get(kUploadURLHeader) : std::nullopt;
    if (status != UploadStatus::final && status != UploadStatus::cancelled && location &&
        !location->empty()) {
        std::optional<URL> url;
        auto request = this->request();
        if (request && request->url()) url = URL::parse(*location, *request->url());
        if (!url) url = URL::parse(*location);
        bool paused;
        {
            std::lock_guard lock(uploadMutex_);
            uploadLocationURL_ = url;
            initialBodySent_ = initialBodyLength_;
            paused = isPaused_;
        }
        platform::NotificationCenter::defaultCenter().post(
            std::string(kSessionFetcherUploadLocationObtainedNotification), shared_from_this());
        if (!paused) uploadNextChunkWithOffset(0, properties());
        return;
    }
    invokeFinalCallback(std::nullopt, prematureFailureError(data), true);
}

// ---- Chunks ----

std::pair<std::int64_t, std::int64_t> SessionUploadFetcher::updateChunkFetcher(
    const std::shared_ptr<SessionFetcher>& chunkFetcher, std::int64_t offset) {
    std::int64_t chunk, granularity, fullLength, knownLength;
    bool fileSource;
    {
        std::lock_guard lock(uploadMutex_);
        fullLength = fullUploadLengthUnsynchronized();
        knownLength = uploadFileLength_;
        granularity = uploadGranularity_;
        fileSource = uploadFileURL_.has_value() && !uploadData_ && !uploadDataProvider_ && !uploadFileHandle_;
        chunk = std::min(chunkSize_, kUploadMaxChunkSize);
        if (offset == 0 && fileSource && fullLength >= 0 && chunkSize_ >= fullLength) chunk = chunkSize_;
    }
    if (granularity > 0) {
        chunk = chunk < granularity ? granularity : chunk - chunk % granularity;
        // The server takes whole granules: the offset is rounded once, here, for the header and the bytes.
        if (fullLength < 0 || offset < fullLength) offset -= offset % granularity;
    }
    std::int64_t length;
    std::string_view command;
    if (fullLength >= 0) {
        std::int64_t remaining = fullLength - offset;
        // remaining - chunk cannot overflow where chunk + 2500 could (chunk may be the largest integer).
        if (remaining - chunk < kMinimumTailLength) {
            length = std::max<std::int64_t>(remaining, 0);
            command = remaining > 0 ? kUploadCommandUploadFinalize : kUploadCommandFinalize;
        } else {
            length = chunk;
            command = kUploadCommandUpload;
        }
    } else {
        length = chunk;
        command = kUploadCommandUpload;
    }
    auto request = chunkFetcher->request().value_or(URLRequest());
    request.setValue(command, kUploadCommandHeader);
    request.setValue(std::optional<std::string>(std::to_string(length)), internal::kContentLengthField);
    request.setValue(std::optional<std::string>(std::to_string(offset)), kUploadOffsetHeader);
    if (knownLength != -1)
        request.setValue(std::optional<std::string>(std::to_string(fullLength)), kUploadContentLengthHeader);
    chunkFetcher->updateMutableRequest(std::move(request));
    return {offset, length};
}

std::shared_ptr<SessionFetcher> SessionUploadFetcher::uploadFetcherWithProperties(
    std::optional<Dictionary> properties, bool isQueryFetch) {
    auto startRequest = this->request();
    std::optional<URL> location;
    bool cellular, backgroundChunks, fileSource;
    {
        std::lock_guard lock(uploadMutex_);
        location = uploadLocationURL_;
        cellular = startRequest ? startRequest->allowsCellularAccess() : allowsCellularAccess_;
        backgroundChunks = useBackgroundSessionOnChunkFetchers_;
        fileSource = uploadFileURL_.has_value();
    }
    URLRequest request(location);
    request.setHTTPMethod("PUT");
    request.setAllowsCellularAccess(cellular);
    if (startRequest) {
        auto userAgent = startRequest->valueForHTTPHeaderField(internal::kUserAgentField);
        if (userAgent && !userAgent->empty())
            request.setValue(std::string_view(*userAgent), internal::kUserAgentField);
        request.setTimeoutInterval(startRequest->timeoutInterval());
    }
    request.setValue(kUploadProtocolResumable, kUploadProtocolHeader);

    auto fetcher = SessionFetcher::fetcherWithRequest(std::move(request));
    fetcher->setCallbackQueue(callbackQueue());
    fetcher->setSessionUserInfo(sessionUserInfo());
    fetcher->setConfigurationBlock(configurationBlock());
    fetcher->setAllowedInsecureSchemes(allowedInsecureSchemes());
    fetcher->setAllowLocalhostRequest(allowLocalhostRequest());
    fetcher->setAllowInvalidServerCertificates(allowInvalidServerCertificates());
    fetcher->setStopFetchingTriggersCompletionHandler(stopFetchingTriggersCompletionHandler());
    bool retryEnabled = isRetryEnabled();
    fetcher->setRetryEnabled(retryEnabled);
    fetcher->setMaxRetryInterval(maxRetryInterval());
    fetcher->setUseUploadTask(!isQueryFetch);
    if (!isQueryFetch && fileSource && backgroundChunks) {
        fetcher->setUseBackgroundSession(true);
        fetcher->createSessionIdentifierWithMetadata(uploadSessionIdentifierMetadata());
    }
    Dictionary chunkProperties = properties.value_or(Dictionary{});
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    chunkProperties[std::string(kChunkParentPropertyKey)] =
        platform::Value::object(std::make_shared<std::weak_ptr<SessionUploadFetcher>>(weakSelf));
    fetcher->setProperties(std::move(chunkProperties));

    if (retryEnabled) {
        // Recovery goes through the offset query, never through the chunk fetcher's own retry.
        auto callerRetryBlock = retryBlock();
        fetcher->setRetryBlock([weakSelf, isQueryFetch, callerRetryBlock](bool suggestedWillRetry,
                                                                          std::optional<Error> error,
                                                                          RetryResponse response) {
            auto decide = [weakSelf, isQueryFetch, response](bool willRetry) {
                if (auto self = weakSelf.lock(); self && willRetry) {
                    std::lock_guard lock(self->uploadMutex_);
                    self->shouldInitiateOffsetQuery_ = !isQueryFetch;
                    self->currentOffset_ = 0;
                }
                response(false);
            };
            if (callerRetryBlock) {
                callerRetryBlock(suggestedWillRetry, std::move(error), decide);
            } else {
                decide(suggestedWillRetry);
            }
        });
    }
    return fetcher;
}

void SessionUploadFetcher::attachSendProgressBlockToChunkFetcher(
    const std::shared_ptr<SessionFetcher>& chunkFetcher) {
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    std::weak_ptr<SessionFetcher> weakChunk = chunkFetcher;
    chunkFetcher->setSendProgressBlock([weakSelf, weakChunk](std::int64_t bytesSent,
                                                             std::int64_t totalBytesSent, std::int64_t) {
        auto self = weakSelf.lock();
        auto chunk = weakChunk.lock();
        if (!self) return;
        auto block = self->sendProgressBlock();
        auto queue = self->delegateCallbackQueue();
        if (!block || !queue) return;
        std::int64_t bodyLength = std::max<std::int64_t>(self->bodyLength(), 0);
        std::int64_t total = totalBytesSent + bodyLength + self->currentOffset();
        std::int64_t expected = bodyLength + self->fullUploadLength();
        self->invokeOnCallbackQueue(
            queue, false, [block, chunk, bytesSent, total, expected] { block(bytesSent, total, expected); });
    });
}

void SessionUploadFetcher::didSendBodyDataForUpload(std::int64_t bytesSent, std::int64_t totalBytesSent,
                                                    std::int64_t totalBytesExpectedToSend) {
    SessionFetcher::didSendBodyDataForUpload(bytesSent, totalBytesSent,
                                             totalBytesExpectedToSend + fullUploadLength());
}

void SessionUploadFetcher::uploadNextChunkWithOffset(std::int64_t requestedOffset,
                                                     std::optional<Dictionary> properties) {
    auto chunkFetcher = uploadFetcherWithProperties(std::move(properties), false);
    attachSendProgressBlockToChunkFetcher(chunkFetcher);
    auto [offset, length] = updateChunkFetcher(chunkFetcher, requestedOffset);
    std::int64_t fullLength = fullUploadLength();
    std::optional<URL> fileURL = uploadFileURL();
    bool fileSource, wholeFile;
    {
        std::lock_guard lock(uploadMutex_);
        fileSource = fileURL && !uploadData_ && !uploadDataProvider_ && !uploadFileHandle_;
        wholeFile = fileSource && offset == 0 && fullLength >= 0 && length >= fullLength;
    }
    if (wholeFile) {
        // The whole file in one request goes straight from the caller's file.
        chunkFetcher->setBodyFileURL(fileURL);
        beginChunkFetcher(chunkFetcher, offset);
        return;
    }
    if (fileSource) {
        // A chunk of the caller's file is sent from its range of the file, read in place by the session:
        // no copy of it is made, on disk or in memory.
        auto check = checkFileRange(fileURL->path(), offset, length, fullLength);
        if (check.rangeError) {
            invokeFinalCallback(std::nullopt, chunkUnavailableError(*check.rangeError), true);
        } else if (check.error) {
            invokeFinalCallback(std::nullopt, *check.error, true);
        } else {
            chunkFetcher->setBodyFileURL(fileURL);
            chunkFetcher->setBodyFileRange(BodyFileRange{offset, length});
            beginChunkFetcher(chunkFetcher, offset);
        }
        return;
    }
    {
        std::lock_guard lock(uploadMutex_);
        subdataGenerating_ = true;
    }
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    generateChunkSubdata(
        offset, length,
        [weakSelf, chunkFetcher, offset, length](std::optional<Data> data, std::int64_t reportedFullLength,
                                                 std::optional<Error> error) {
            platform::DispatchQueue::main()->async([weakSelf, chunkFetcher, offset, length,
                                                    data = std::move(data), reportedFullLength,
                                                    error = std::move(error)]() mutable {
                auto self = weakSelf.lock();
                if (!self) return;
                bool hasProvider;
                std::optional<URL> fileURL;
                {
                    std::lock_guard lock(self->uploadMutex_);
                    self->subdataGenerating_ = false;
                    hasProvider = static_cast<bool>(self->uploadDataProvider_);
                    fileURL = self->uploadFileURL_;
                    if (hasProvider && reportedFullLength > 0 && self->uploadFileLength_ == -1)
                        self->uploadFileLength_ = reportedFullLength;
                }
                if (hasProvider && reportedFullLength > 0 && offset + length >= reportedFullLength) {
                    // The provider told the full length late: this chunk may be the last, or an empty
                    // "finalize".
                    auto [newOffset, newLength] = self->updateChunkFetcher(chunkFetcher, offset);
                    if (newLength == 0) {
                        chunkFetcher->setBodyData(Data{});
                        self->beginChunkFetcher(chunkFetcher, newOffset);
                        return;
                    }
                }
                if (!data) {
                    self->invokeFinalCallback(
                        std::nullopt,
                        error ? *error : self->chunkUnavailableError(std::string(kChunkDataNilText)), true);
                    return;
                }
                if (fileURL) {
                    auto path = (platform::FileSystem::temporaryDirectory() /
                                 (std::string(kTemporaryChunkFilePrefix) + makeUUID()))
                                    .string();
                    if (!internal::writeDataAtomically(*data, path)) {
                        chunkFetcher->setBodyFileURL(URL::fileURLWithPath(path));
                    } else {
                        chunkFetcher->setBodyData(std::move(*data));
                    }
                } else {
                    chunkFetcher->setBodyData(std::move(*data));
                }
                self->beginChunkFetcher(chunkFetcher, offset);
            });
        });
}

void SessionUploadFetcher::beginChunkFetcher(const std::shared_ptr<SessionFetcher>& chunkFetcher,
                                             std::int64_t offset) {
    bool withinLimit;
    {
        std::lock_guard lock(uploadMutex_);
        currentOffset_ = offset;
        chunkFetcher_ = chunkFetcher;
        fetcherInFlight_ = chunkFetcher;
        lastChunkRequest_ = chunkFetcher->request();
        withinLimit = maxUploadRetryInterval_ > nextUploadRetryInterval_;
    }
    if (withinLimit) {
        beginUploadRetryTimer();
    } else {
        invokeFinalCallback(std::nullopt, chunkUnavailableError(std::string(kRetryLimitReachedText)), false);
    }
}

void SessionUploadFetcher::beginUploadRetryTimer() {
    if (!platform::isMainThread()) {
        auto self = uploadSelf();
        platform::DispatchQueue::main()->async([self] { self->beginUploadRetryTimer(); });
        return;
    }
    destroyUploadRetryTimer();
    double interval;
    {
        std::lock_guard lock(uploadMutex_);
        interval = nextUploadRetryInterval_;
        if (interval > 0 && maxUploadRetryInterval_ > 0)
            interval = std::min(interval, maxUploadRetryInterval_);
        nextUploadRetryInterval_ = interval;
    }
    if (interval <= 0) {
        startChunkFetcherNow();
        return;
    }
    {
        std::lock_guard lock(uploadMutex_);
        auto self = uploadSelf();
        uploadRetryTimer_ = platform::Timer::scheduled(
            platform::DispatchQueue::main(),
            std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(interval)), false,
            [self] { self->uploadRetryTimerFired(); });
    }
    platform::NotificationCenter::defaultCenter().post(
        std::string(kSessionFetcherUploadInitialBackoffStartedNotification), shared_from_this());
}

void SessionUploadFetcher::uploadRetryTimerFired() {
    {
        std::lock_guard lock(uploadMutex_);
        if (!uploadRetryTimer_) return;
    }
    destroyUploadRetryTimer();
    auto self = uploadSelf();
    sessionDelegateQueue()->async([self] { self->startChunkFetcherNow(); });
}

void SessionUploadFetcher::destroyUploadRetryTimer() {
    std::shared_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(uploadMutex_);
        timer = std::move(uploadRetryTimer_);
        uploadRetryTimer_.reset();
    }
    if (timer) timer->invalidate();
}

void SessionUploadFetcher::startChunkFetcherNow() {
    std::shared_ptr<SessionFetcher> chunkFetcher = this->chunkFetcher();
    if (!chunkFetcher) return;
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    std::weak_ptr<SessionFetcher> weakChunk = chunkFetcher;
    chunkFetcher->beginFetchWithCompletionHandler(
        [weakSelf, weakChunk](std::optional<Data> data, std::optional<Error> error) {
            auto self = weakSelf.lock();
            auto chunk = weakChunk.lock();
            if (self && chunk) self->chunkFetcherFinished(chunk, std::move(data), std::move(error));
        });
}

void SessionUploadFetcher::generateChunkSubdata(std::int64_t offset, std::int64_t length,
                                                DataProviderResponse response) {
    DataProvider provider;
    std::optional<Data> memory;
    std::optional<URL> fileURL;
    std::shared_ptr<std::istream> handle;
    std::int64_t fullLength;
    {
        std::lock_guard lock(uploadMutex_);
        provider = uploadDataProvider_;
        memory = uploadData_;
        fileURL = uploadFileURL_;
        handle = uploadFileHandle_;
        fullLength = fullUploadLengthUnsynchronized();
    }
    if (provider) {
        provider(offset, length, std::move(response));
        return;
    }
    auto self = uploadSelf();
    if (memory) {
        auto dataLength = static_cast<std::int64_t>(memory->size());
        if (offset == 0 && length == dataLength) {
            response(std::move(memory), fullLength, std::nullopt);
        } else if (offset < 0 || length < 0 || offset > dataLength || length > dataLength - offset) {
            response(std::nullopt, fullLength,
                     chunkUnavailableError(platform::format(
                         "Range invalid for upload data.  offset: %lld\tlength: %lld\tdataLength: %lld",
                         {offset, length, dataLength})));
        } else {
            response(Data(memory->begin() + offset, memory->begin() + offset + length), fullLength,
                     std::nullopt);
        }
        return;
    }
    auto readFromHandle = [self, offset, length, fullLength](std::shared_ptr<std::istream> stream,
                                                             DataProviderResponse& reply) {
        Data bytes(static_cast<std::size_t>(std::max<std::int64_t>(length, 0)));
        std::lock_guard lock(self->uploadMutex_);
        stream->clear();
        stream->seekg(offset);
        stream->read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!*stream && stream->gcount() != static_cast<std::streamsize>(bytes.size())) {
            reply(std::nullopt, fullLength,
                  self->chunkUnavailableError("Failed to read the upload file handle"));
            return;
        }
        reply(std::move(bytes), fullLength, std::nullopt);
    };
    if (fileURL) {
        auto path = fileURL->path();
        internal::globalQueue()->async([self, path, offset, length, fullLength,
                                        response = std::move(response), readFromHandle]() mutable {
            // Only the chunk's range is read: a large file is never held in memory whole.
            auto check = checkFileRange(path, offset, length, fullLength);
            if (check.error) {
                response(std::nullopt, fullLength, *check.error);
            } else if (check.rangeError) {
                response(std::nullopt, fullLength, self->chunkUnavailableError(*check.rangeError));
            } else if (auto bytes = internal::readFileRange(path, offset, length)) {
                response(std::move(bytes), fullLength, std::nullopt);
            } else {
                response(std::nullopt, fullLength, internal::fileError(EIO, path));
            }
        });
        return;
    }
    if (handle) {
        internal::globalQueue()->async([handle, readFromHandle, response = std::move(response)]() mutable {
            readFromHandle(handle, response);
        });
        return;
    }
    response(std::nullopt, fullLength, std::nullopt);
}

void SessionUploadFetcher::destroyChunkFetcher() {
    std::shared_ptr<SessionFetcher> chunkFetcher;
    std::optional<URL> fileURL;
    {
        std::lock_guard lock(uploadMutex_);
        chunkFetcher = std::move(chunkFetcher_);
        chunkFetcher_.reset();
        if (fetcherInFlight_ == chunkFetcher) fetcherInFlight_.reset();
        fileURL = uploadFileURL_;
    }
    if (!chunkFetcher) return;
    chunkFetcher->stopFetching();
    auto bodyFile = chunkFetcher->bodyFileURL();
    if (bodyFile && bodyFile != fileURL) {
        std::error_code ec;
        std::filesystem::remove(bodyFile->path(), ec);
    }
    auto headers = chunkFetcher->responseHeaders();
    {
        std::lock_guard lock(uploadMutex_);
        recentChunkResponseHeaders_ = headers;
    }
    Dictionary parentOnly;
    if (auto parent = chunkFetcher->propertyForKey(kChunkParentPropertyKey))
        parentOnly[std::string(kChunkParentPropertyKey)] = *parent;
    chunkFetcher->setProperties(std::move(parentOnly));
    chunkFetcher->setRetryBlock(nullptr);
    chunkFetcher->setSendProgressBlock(nullptr);
}

double SessionUploadFetcher::nextUploadRetryIntervalUnsynchronized() const {
    double next = nextUploadRetryInterval_ * uploadRetryFactor_;
    if (maxUploadRetryInterval_ > 0) next = std::min(next, maxUploadRetryInterval_);
    return std::max(next, minUploadRetryInterval_);
}

void SessionUploadFetcher::chunkFetcherFinished(const std::shared_ptr<SessionFetcher>& chunkFetcher,
                                                std::optional<Data> data, std::optional<Error> error) {
    {
        std::lock_guard lock(uploadMutex_);
        if (fetcherInFlight_ == chunkFetcher) fetcherInFlight_.reset();
    }
    auto headers = chunkFetcher->responseHeaders();
    auto status = uploadStatusFromResponseHeaders(headers);
    auto request = chunkFetcher->request();
    bool isQuery =
        request && request->valueForHTTPHeaderField(kUploadCommandHeader) == std::string(kUploadCommandQuery);
    auto contentLength = requestInteger(request, internal::kContentLengthField);
    bool noContentLength =
        !contentLength && !isQuery && status != UploadStatus::final && status != UploadStatus::cancelled;

    if (error || noContentLength) {
        bool queryOffset;
        {
            std::lock_guard lock(uploadMutex_);
            queryOffset = shouldInitiateOffsetQuery_ || noContentLength ||
                          (error && error->domain() == kSessionFetcherStatusDomain && error->code() >= 400 &&
                           error->code() <= 499 && error->code() != 404 && status == UploadStatus::active &&
                           contentLength.value_or(0) > 0);
        }
        if (!queryOffset) {
            invokeFinalCallback(std::move(data), std::move(error), false);
            destroyChunkFetcher();
            return;
        }
        auto chunkProperties = chunkFetcher->properties();
        {
            std::lock_guard lock(uploadMutex_);
            shouldInitiateOffsetQuery_ = false;
        }
        destroyChunkFetcher();
        {
            std::lock_guard lock(uploadMutex_);
            nextUploadRetryInterval_ = nextUploadRetryIntervalUnsynchronized();
        }
        sendQueryForUploadOffsetWithFetcherProperties(std::move(chunkProperties));
        return;
    }

    if (status == UploadStatus::cancelled) {
        invokeFinalCallback(data, prematureFailureError(data), true);
        destroyChunkFetcher();
        return;
    }
    if (status == UploadStatus::final) {
        setDownloadedData(data);
        {
            std::lock_guard lock(uploadMutex_);
            recentChunkStatusCode_ = chunkFetcher->statusCode();
        }
        invokeFinalCallback(std::move(data), std::nullopt, true);
        destroyChunkFetcher();
        return;
    }
    auto received = headerInteger(headers, kUploadSizeReceivedHeader);
    if (received && !acceptsReceivedSize(*received)) {
        invokeFinalCallback(data, prematureFailureError(data), true);
        destroyChunkFetcher();
        return;
    }
    std::int64_t newOffset;
    bool next;
    int stalls = 0;
    {
        std::lock_guard lock(uploadMutex_);
        newOffset = received ? *received : currentOffset_ + contentLength.value_or(0);
        next = (uploadData_ || uploadFileLength_ != 0) &&
               !(uploadFileLength_ > 0 && currentOffset_ > uploadFileLength_);
        if (next && !isQuery) {
            if (newOffset > currentOffset_) {
                // A chunk that went through ends the backoff: the next one starts at once.
                chunksWithoutProgress_ = 0;
                nextUploadRetryInterval_ = 0;
            } else {
                // Still "active" with nothing more received (a chunk not taken, or a finalize that does
                // not end the upload): a failure for the backoff, and only so many of them.
                stalls = ++chunksWithoutProgress_;
                nextUploadRetryInterval_ = nextUploadRetryIntervalUnsynchronized();
            }
        }
        if (next) currentOffset_ = newOffset;
    }
    if (stalls >= kMaxChunksWithoutProgress) {
        invokeFinalCallback(std::move(data),
                            chunkUnavailableError(platform::format(kNoProgressText, {newOffset, stalls})), false);
        destroyChunkFetcher();
        return;
    }
    if (!next) {
        invokeFinalCallback(std::move(data), std::move(error), false);
        destroyChunkFetcher();
        return;
    }
    auto chunkProperties = chunkFetcher->properties();
    destroyChunkFetcher();
    uploadNextChunkWithOffset(newOffset, std::move(chunkProperties));
}

void SessionUploadFetcher::sendQueryForUploadOffsetWithFetcherProperties(
    std::optional<Dictionary> properties) {
    auto queryFetcher = uploadFetcherWithProperties(std::move(properties), true);
    queryFetcher->setBodyData(Data{});
    queryFetcher->updateRequestValue(std::string(kUploadCommandQuery), kUploadCommandHeader);
    {
        std::lock_guard lock(uploadMutex_);
        fetcherInFlight_ = queryFetcher;
    }
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    std::weak_ptr<SessionFetcher> weakQuery = queryFetcher;
    queryFetcher->beginFetchWithCompletionHandler(
        [weakSelf, weakQuery](std::optional<Data> data, std::optional<Error> error) {
            auto self = weakSelf.lock();
            auto query = weakQuery.lock();
            if (self && query) self->queryFetcherFinished(query, std::move(data), std::move(error));
        });
}

void SessionUploadFetcher::queryFetcherFinished(const std::shared_ptr<SessionFetcher>& queryFetcher,
                                                std::optional<Data> data, std::optional<Error> error) {
    {
        std::lock_guard lock(uploadMutex_);
        if (fetcherInFlight_ == queryFetcher) fetcherInFlight_.reset();
    }
    if (error) {
        chunkFetcherFinished(queryFetcher, std::move(data), std::move(error));
        return;
    }
    auto headers = queryFetcher->responseHeaders();
    auto status = uploadStatusFromResponseHeaders(headers);
    auto received = headerInteger(headers, kUploadSizeReceivedHeader);
    if (status == UploadStatus::cancelled || (status == UploadStatus::active && !received) ||
        (received && !acceptsReceivedSize(*received))) {
        chunkFetcherFinished(queryFetcher, data, prematureFailureError(data));
        return;
    }
    std::int64_t offset = received.value_or(0);
    std::int64_t fullLength = fullUploadLength();
    if (status != UploadStatus::final && (offset < fullLength || fullLength == -1)) {
        readGranularity(headers);
        uploadNextChunkWithOffset(offset, queryFetcher->properties());
        return;
    }
    chunkFetcherFinished(queryFetcher, std::move(data), std::nullopt);
}

void SessionUploadFetcher::sendCancelUploadWithFetcherProperties(std::optional<Dictionary> properties) {
    auto cancelFetcher = uploadFetcherWithProperties(std::move(properties), true);
    cancelFetcher->setBodyData(Data{});
    cancelFetcher->updateRequestValue(std::string(kUploadCommandCancel), kUploadCommandHeader);
    {
        std::lock_guard lock(uploadMutex_);
        isCancelInFlight_ = true;
        fetcherInFlight_ = cancelFetcher;
    }
    std::weak_ptr<SessionUploadFetcher> weakSelf = uploadSelf();
    std::weak_ptr<SessionFetcher> weakCancel = cancelFetcher;
    cancelFetcher->beginFetchWithCompletionHandler(
        [weakSelf, weakCancel](std::optional<Data> data, std::optional<Error> error) {
            auto self = weakSelf.lock();
            auto cancel = weakCancel.lock();
            if (!self) return;
            CancellationHandler handler;
            {
                std::lock_guard lock(self->uploadMutex_);
                if (self->fetcherInFlight_ == cancel) self->fetcherInFlight_.reset();
                handler = std::move(self->cancellationHandler_);
                self->cancellationHandler_ = nullptr;
            }
            if (handler) handler(cancel, std::move(data), std::move(error));
            std::lock_guard lock(self->uploadMutex_);
            self->isCancelInFlight_ = false;
        });
}

// ---- Ending ----

void SessionUploadFetcher::releaseUploadCallbacks(bool releaseCancellationHandler) {
    std::lock_guard lock(uploadMutex_);
    delegateCallbackQueue_.reset();
    delegateCompletionHandler_ = nullptr;
    uploadDataProvider_ = nullptr;
    if (releaseCancellationHandler) cancellationHandler_ = nullptr;
}

void SessionUploadFetcher::invokeFinalCallback(std::optional<Data> data, std::optional<Error> error,
                                               bool shouldInvalidateLocation) {
    std::shared_ptr<platform::DispatchQueue> queue;
    CompletionHandler handler;
    {
        std::lock_guard lock(uploadMutex_);
        if (shouldInvalidateLocation) uploadLocationURL_.reset();
        queue = delegateCallbackQueue_;
        handler = delegateCompletionHandler_;
    }
    releaseUploadCallbacks(!userStoppedFetching());
    releaseCallbacks();
    if (queue && handler) {
        invokeOnCallbackQueue(queue, false, [handler, data = std::move(data), error = std::move(error)] {
            handler(data, error);
        });
    }
}

void SessionUploadFetcher::pauseFetching() {
    {
        std::lock_guard lock(uploadMutex_);
        isPaused_ = true;
    }
    destroyChunkFetcher();
}

void SessionUploadFetcher::resumeFetching() {
    bool wasPaused;
    {
        std::lock_guard lock(uploadMutex_);
        wasPaused = isPaused_;
        isPaused_ = false;
    }
    if (wasPaused) sendQueryForUploadOffsetWithFetcherProperties(properties());
}

void SessionUploadFetcher::stopFetching() {
    destroyChunkFetcher();
    std::optional<URL> location;
    bool cancelInFlight;
    {
        std::lock_guard lock(uploadMutex_);
        location = uploadLocationURL_;
        cancelInFlight = isCancelInFlight_;
    }
    if (location) {
        sendCancelUploadWithFetcherProperties(properties());
        std::lock_guard lock(uploadMutex_);
        uploadLocationURL_.reset();
    } else if (!cancelInFlight) {
        auto handler = cancellationHandler();
        auto self = shared_from_this();
        if (handler) {
            invokeOnCallbackQueueAfterUserStopped(
                true, [handler, self] { handler(nullptr, std::nullopt, std::nullopt); });
        }
    }
    SessionFetcher::stopFetching();
}

void SessionUploadFetcher::stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) {
    destroyUploadRetryTimer();
    {
        std::lock_guard lock(uploadMutex_);
        selfInFlight_ = false;
    }
    SessionFetcher::stopFetchReleasingCallbacks(shouldReleaseCallbacks);
    if (shouldReleaseCallbacks) releaseUploadCallbacks(false);
}

bool SessionUploadFetcher::isFetching() const {
    {
        std::lock_guard lock(uploadMutex_);
        if (selfInFlight_ || fetcherInFlight_) return true;
    }
    return SessionFetcher::isFetching();
}

int SessionUploadFetcher::statusCode() const {
    {
        std::lock_guard lock(uploadMutex_);
        if (recentChunkStatusCode_ != -1) return static_cast<int>(recentChunkStatusCode_);
    }
    return SessionFetcher::statusCode();
}

std::optional<platform::HTTPHeaders> SessionUploadFetcher::responseHeaders() const {
    std::shared_ptr<SessionFetcher> chunk;
    {
        std::lock_guard lock(uploadMutex_);
        chunk = chunkFetcher_;
        if (!chunk && recentChunkResponseHeaders_) return recentChunkResponseHeaders_;
    }
    if (chunk) {
        if (auto headers = chunk->responseHeaders()) return headers;
    }
    return SessionFetcher::responseHeaders();
}

bool SessionUploadFetcher::waitForCompletionWithTimeout(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::shared_ptr<SessionFetcher> inFlight;
        bool self, generating;
        {
            std::lock_guard lock(uploadMutex_);
            inFlight = fetcherInFlight_;
            self = selfInFlight_;
            generating = subdataGenerating_;
        }
        if (!inFlight && !self && !generating && !uploadRetryTimer()) return true;
        if (generating || (!inFlight && !self)) {
            if (platform::isMainThread()) {
                platform::MainLoop::runFor(std::chrono::milliseconds(1));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            continue;
        }
        bool done = self ? waitForBaseCompletionWithTimeout(seconds)
                         : inFlight->waitForCompletionWithTimeout(seconds);
        if (!done) return false;
        // The finished fetcher's completion starts the next step; let it run.
        if (platform::isMainThread()) platform::MainLoop::runFor(std::chrono::milliseconds(1));
    }
    return false;
}

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::parentUploadFetcher(
    const std::shared_ptr<SessionFetcher>& chunkFetcher) {
    if (!chunkFetcher) return nullptr;
    auto value = chunkFetcher->propertyForKey(kChunkParentPropertyKey);
    if (!value) return nullptr;
    auto weak = value->object<std::weak_ptr<SessionUploadFetcher>>();
    return weak ? weak->lock() : nullptr;
}

}  // namespace brisko::fetcher
