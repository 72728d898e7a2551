// One request of the utilities' network client: its URL session, temporary upload file, trust check,
// completion, and the process-wide maps of sessions and system completion handlers.
#include "core/NetworkURLSession.hpp"

#include <sys/stat.h>

#include "core/UtilitiesLogger.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kTemporaryFileFormat = "EULUpload_temp_%@";
constexpr std::string_view kNetworkServiceCategory = "[EULNetwork]";
constexpr std::string_view kNetworkCodeFormat = "I-NET%06ld";
constexpr std::string_view kNoBackgroundSessionMessage =
    "Failed to retrieve background session with ID %@ after app is relaunched.";

struct SessionMaps {
    std::mutex mutex;
    // Keys strong, values weak: a finished request leaves nothing behind.
    std::map<std::string, std::weak_ptr<NetworkURLSession>> sessions;
    std::map<std::string, NetworkURLSession::SystemCompletionHandler> systemCompletionHandlers;
};

SessionMaps& maps() {
    static auto* m = new SessionMaps;
    return *m;
}

// Trust is evaluated one at a time, off the delegate queue.
std::mutex& trustEvaluationLock() {
    static std::mutex m;
    return m;
}

std::shared_ptr<platform::DispatchQueue> trustQueue() {
    static const auto q = platform::DispatchQueue::make("com.eul.network.trust");
    return q;
}

platform::Error networkError(NetworkErrorCode code, std::string_view context) {
    return platform::Error(std::string(kNetworkErrorDomain), code,
                           {{std::string(kNetworkErrorContext), std::string(context)}});
}

// The creation time of a file (birth time where the file system keeps it, else its last change).
std::optional<platform::Date> creationDate(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return std::nullopt;
    const auto& t = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return platform::Date(std::chrono::duration_cast<platform::Date::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

}  // namespace

std::shared_ptr<NetworkURLSession> NetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<NetworkLoggerDelegate> delegate) {
    return std::make_shared<NetworkURLSession>(std::move(delegate));
}

NetworkURLSession::NetworkURLSession(std::weak_ptr<NetworkLoggerDelegate> delegate)
    : sessionID_(
          platform::format("%@-%@", {kNetworkBackgroundUploadSessionPrefix, platform::crypto::uuidString()})),
      networkDirectoryURL_(temporaryDirectory()),
      loggerDelegate_(std::move(delegate)) {}

std::filesystem::path NetworkURLSession::temporaryDirectory() {
    return platform::FileSystem::dataHome() / platform::FileSystem::kAppFolderName / "EUL" / "Network" /
           "EULNetworkTemporaryDirectory";
}

std::filesystem::path NetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
    return networkDirectoryURL_ / platform::format(kTemporaryFileFormat, {sessionID});
}

void NetworkURLSession::log(long level, NetworkMessageCode code, const std::string& message,
                            const std::vector<std::optional<std::string>>& contexts) {
    if (auto delegate = loggerDelegate_.lock()) delegate->networkLogWithLevel(level, code, message, contexts);
}

platform::URLSessionConfiguration NetworkURLSession::backgroundSessionConfigWithSessionID(
    const std::string& sessionID) const {
    return platform::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID);
}

void NetworkURLSession::populateSessionConfig(platform::URLSessionConfiguration& config,
                                              const platform::URLRequest& request) const {
    config.httpAdditionalHeaders = request.allHTTPHeaderFields();
    config.timeoutIntervalForRequest = request.timeoutInterval();
    config.timeoutIntervalForResource = request.timeoutInterval();
    config.requestCachePolicy = request.cachePolicy();
}

bool NetworkURLSession::ensureTemporaryDirectoryExists() {
    if (platform::FileSystem::isDirectory(networkDirectoryURL_)) return true;
    try {
        platform::FileSystem::createDirectory(networkDirectoryURL_, true);
    } catch (const platform::ErrorException& e) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession015, "Cannot create temporary directory. Error",
            {e.error().description()});
        return false;
    }
    // Linux desktops have no per-file backup exclusion; the folder lives under the data folder only.
    return true;
}

void NetworkURLSession::maybeRemoveTempFilesAtURL(const std::filesystem::path& folder, double expiringTime) {
    if (folder.empty()) return;
    std::vector<std::string> names;
    try {
        names = platform::FileSystem::contentsOfDirectory(folder);
    } catch (const platform::ErrorException& e) {
        if (e.error().code() != static_cast<std::int64_t>(platform::FileErrorCode::readNoSuchFile) &&
            e.error().code() != static_cast<std::int64_t>(platform::FileErrorCode::noSuchFile)) {
            log(kLoggerLevelDebug, kNetworkMessageCodeURLSession012,
                "Cannot get files from the temporary network folder. Error", {e.error().description()});
        }
        return;
    }
    const auto now = platform::now();
    for (const auto& name : names) {
        const auto path = folder / name;
        auto created = creationDate(path);
        if (!created) continue;
        if (std::chrono::duration<double>(now - *created).count() > expiringTime) removeTempItemAtURL(path);
    }
}

void NetworkURLSession::removeTempItemAtURL(const std::optional<std::filesystem::path>& url) {
    if (!url || url->empty()) return;
    std::error_code ec;
    std::filesystem::remove(*url, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession013,
            "Failed to remove temporary uploading data file. Error", {ec.message()});
    }
}

std::optional<std::string> NetworkURLSession::sessionIDFromAsyncPOSTRequest(
    const platform::URLRequest& request, Completion completion) {
    return start(request, std::move(completion), true);
}

std::optional<std::string> NetworkURLSession::sessionIDFromAsyncGETRequest(
    const platform::URLRequest& request, Completion completion) {
    return start(request, std::move(completion), false);
}

std::optional<std::string> NetworkURLSession::start(const platform::URLRequest& request,
                                                    Completion completion, bool upload) {
    auto config = platform::URLSessionConfiguration::defaultSessionConfiguration();
    bool fromFile = false;
    if (upload) {
        uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
        maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNetworkTemporaryFileExpiry);
        if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
            static const platform::Data kNoBody;
            const platform::Data& body = request.httpBody() ? *request.httpBody() : kNoBody;
            try {
                platform::FileSystem::writeFileAtomically(*uploadingFileURL_, body);
                fromFile = true;
                config = backgroundSessionConfigWithSessionID(sessionID_);
            } catch (const platform::ErrorException& e) {
                log(kLoggerLevelError, kNetworkMessageCodeURLSession000,
                    "Failed to write request data to file", {e.error().description()});
            }
        }
    } else if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
        config = backgroundSessionConfigWithSessionID(sessionID_);
    }
    populateSessionConfig(config, request);
    sessionConfig_ = config;

    auto session = platform::URLSession::sessionWithConfiguration(config, shared_from_this(),
                                                                  platform::DispatchQueue::main());
    std::shared_ptr<platform::URLSessionTask> task;
    if (session) {
        platform::URLRequest withoutBody = request;
        withoutBody.setHTTPBody(std::optional<platform::Data>());
        if (!upload) {
            task = session->downloadTaskWithRequest(request);
        } else if (fromFile) {
            task = session->uploadTaskWithRequest(
                withoutBody, platform::URL::fileURLWithPath(uploadingFileURL_->string()));
        } else {
            task = session->uploadTaskWithRequest(
                withoutBody, request.httpBody() ? *request.httpBody() : platform::Data());
        }
    }
    if (!session || !task) {
        callCompletionHandler(
            std::move(completion), nullptr, std::nullopt,
            networkError(kNetworkErrorCodeCannotCreateSession, "Cannot create network session"));
        return std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        URLSession_ = session;
        request_ = request;
        completionHandler_ = std::move(completion);
    }
    setSessionInFetcherMap(shared_from_this(), sessionID_);
    task->resume();
    return sessionID_;
}

void NetworkURLSession::didReceiveData(const std::shared_ptr<platform::URLSession>&,
                                       const std::shared_ptr<platform::URLSessionDataTask>&,
                                       const platform::Data& data) {
    std::lock_guard lock(mutex_);
    if (!downloadedData_) downloadedData_.emplace();
    downloadedData_->insert(downloadedData_->end(), data.begin(), data.end());
}

void NetworkURLSession::didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>&,
                                                  const std::shared_ptr<platform::URLSessionDownloadTask>&,
                                                  const platform::URL& location) {
    const auto path = location.path();
    if (path.empty()) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession001,
            "Unable to read downloaded data from empty temp path");
        std::lock_guard lock(mutex_);
        downloadedData_.reset();
        return;
    }
    try {
        auto data = platform::FileSystem::readFile(path);
        std::lock_guard lock(mutex_);
        downloadedData_ = std::move(data);
    } catch (const platform::ErrorException& e) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession002, "Cannot read the content of downloaded data",
            {e.error().description()});
        std::lock_guard lock(mutex_);
        downloadedData_.reset();
    }
}

void NetworkURLSession::didCompleteWithError(const std::shared_ptr<platform::URLSession>& session,
                                             const std::shared_ptr<platform::URLSessionTask>& task,
                                             const std::optional<platform::Error>& error) {
    Completion completion;
    std::optional<platform::Data> data;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(completionHandler_);
        completionHandler_ = nullptr;
        data = downloadedData_;
        URLSession_.reset();
    }
    auto response = task->response();
    // A transfer that broke off after the response head is a failure, not a success with part of a body.
    std::optional<platform::Error> reported = error;
    if (!response && !reported)
        reported = networkError(kNetworkErrorCodeEmptyResponse, "Network Error: Empty network response");
    if (completion)
        callCompletionHandler(std::move(completion), std::move(response), std::move(data),
                              std::move(reported));
    removeTempItemAtURL(uploadingFileURL_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kNetworkTemporaryFileExpiry);
    session->finishTasksAndInvalidate();
    setSessionInFetcherMap(nullptr, sessionID_);
}

void NetworkURLSession::didReceiveChallenge(const std::shared_ptr<platform::URLSession>&,
                                            const std::shared_ptr<platform::URLSessionTask>& task,
                                            const platform::URLAuthenticationChallenge& challenge,
                                            ChallengeCompletion completion) {
    const auto& space = challenge.protectionSpace;
    if (space.authenticationMethod != platform::kURLAuthenticationMethodServerTrust) {
        completion(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    const auto request = task->originalRequest();
    const std::string url = request && request->url() ? request->url()->absoluteString() : space.host;
    if (!space.serverTrust) {
        log(kLoggerLevelDebug, kNetworkMessageCodeURLSession004, "Received empty server trust for host. Host",
            {url});
        completion(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    log(kLoggerLevelDebug, kNetworkMessageCodeURLSession006, "Received SSL challenge for host. Host", {url});
    auto self = shared_from_this();
    auto shared = std::make_shared<ChallengeCompletion>(std::move(completion));
    trustQueue()->async([self, trust = space.serverTrust, url, shared] {
        std::lock_guard lock(trustEvaluationLock());
        std::optional<platform::Error> evaluationError;
        const bool trusted = trust->evaluate(&evaluationError);
        if (evaluationError) {
            self->log(kLoggerLevelError, kNetworkMessageCodeURLSession008,
                      "Cannot evaluate server trust. Error, host",
                      {std::to_string(evaluationError->code()), url});
        }
        if (trusted) {
            (*shared)(platform::URLSessionAuthChallengeDisposition::useCredential,
                      platform::URLCredential::forTrust(trust));
        } else {
            self->log(kLoggerLevelDebug, kNetworkMessageCodeURLSession007,
                      "Cancelling authentication challenge for host. Host", {url});
            (*shared)(platform::URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge,
                      std::nullopt);
        }
    });
}

void NetworkURLSession::willPerformHTTPRedirection(
    const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
    const std::shared_ptr<const platform::HTTPURLResponse>& response, platform::URLRequest newRequest,
    RedirectCompletion completion) {
    const int status = response ? response->statusCode() : 0;
    if (status == 300 || status == 301 || status == 302 || status == 307) {
        completion(std::nullopt);
        return;
    }
    completion(std::move(newRequest));
}

void NetworkURLSession::callCompletionHandler(Completion handler,
                                              std::shared_ptr<const platform::HTTPURLResponse> response,
                                              std::optional<platform::Data> data,
                                              std::optional<platform::Error> error) {
    if (error) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession017, "Encounter network error. Code, error",
            {std::to_string(error->code()), error->description()});
    }
    if (!handler) return;
    platform::DispatchQueue::main()->async(
        [handler = std::move(handler), response = std::move(response), data = std::move(data),
         sessionID = sessionID_, error = std::move(error)] { handler(response, data, sessionID, error); });
}

// MARK: process-wide maps

void NetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<NetworkURLSession>& session,
                                               const std::string& sessionID) {
    std::shared_ptr<NetworkURLSession> old;
    {
        auto& m = maps();
        std::lock_guard lock(m.mutex);
        if (auto it = m.sessions.find(sessionID); it != m.sessions.end()) {
            old = it->second.lock();
            if (old == session) old.reset();
        }
        if (session) {
            m.sessions[sessionID] = session;
        } else {
            m.sessions.erase(sessionID);
        }
    }
    if (!old) return;
    if (session) {
        session->log(kLoggerLevelInfo, kNetworkMessageCodeURLSession019,
                     platform::format("Discarding session: %@", {old->sessionID_}));
    }
    std::shared_ptr<platform::URLSession> oldSession;
    {
        std::lock_guard lock(old->mutex_);
        oldSession = old->URLSession_;
    }
    if (oldSession) oldSession->finishTasksAndInvalidate();
}

std::shared_ptr<NetworkURLSession> NetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
    auto& m = maps();
    std::lock_guard lock(m.mutex);
    auto it = m.sessions.find(sessionID);
    return it == m.sessions.end() ? nullptr : it->second.lock();
}

std::shared_ptr<NetworkURLSession> NetworkURLSession::fetcherWithSessionIdentifier(
    const std::string& sessionID) {
    if (auto existing = sessionFromFetcherMapForSessionID(sessionID)) return existing;
    if (!sessionID.starts_with(kNetworkBackgroundSessionPrefix)) return nullptr;
    auto fetcher = initWithNetworkLoggerDelegate({});
    fetcher->sessionID_ = sessionID;
    setSessionInFetcherMap(fetcher, sessionID);
    return fetcher;
}

void NetworkURLSession::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                              SystemCompletionHandler handler) {
    if (!sessionID.starts_with(kNetworkBackgroundSessionPrefix)) return;
    if (auto fetcher = fetcherWithSessionIdentifier(sessionID)) {
        fetcher->addSystemCompletionHandler(std::move(handler), sessionID);
        return;
    }
    UtilitiesLogger::logCoded(kLoggerLevelError, kNetworkServiceCategory, kNetworkCodeFormat,
                              kNetworkMessageCodeNetwork003, kNoBackgroundSessionMessage, {sessionID});
}

void NetworkURLSession::addSystemCompletionHandler(SystemCompletionHandler handler,
                                                   const std::string& sessionID) {
    if (!handler) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession009,
            "Cannot store nil system completion handler in network");
        return;
    }
    if (sessionID.empty()) {
        log(kLoggerLevelError, kNetworkMessageCodeURLSession010,
            "Cannot store system completion handler with empty network session identifier");
        return;
    }
    auto& m = maps();
    bool replaced = false;
    {
        std::lock_guard lock(m.mutex);
        replaced = m.systemCompletionHandlers.contains(sessionID);
        m.systemCompletionHandlers[sessionID] = std::move(handler);
    }
    if (replaced) {
        log(kLoggerLevelWarning, kNetworkMessageCodeURLSession011,
            "Got multiple system handlers for a single session ID", {sessionID});
    }
}

void NetworkURLSession::callSystemCompletionHandler(const std::string& sessionID) {
    SystemCompletionHandler handler;
    {
        auto& m = maps();
        std::lock_guard lock(m.mutex);
        auto it = m.systemCompletionHandlers.find(sessionID);
        if (it == m.systemCompletionHandlers.end()) return;
        handler = std::move(it->second);
        m.systemCompletionHandlers.erase(it);
    }
    platform::DispatchQueue::main()->async([handler = std::move(handler)] { handler(); });
}

}  // namespace brisko::core
