// One request of the utilities' network client over its own URL session: a POST uploaded from the
// body or, for background uploads, from a temporary file; a GET downloaded to a file; server trust
// checked here; the completion handlers of background sessions kept by identifier.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/NetworkLoggerDelegate.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::core {

inline constexpr std::string_view kNetworkBackgroundSessionPrefix = "com.eul.network.background";
inline constexpr std::string_view kNetworkBackgroundUploadSessionPrefix = "com.eul.network.background-upload";
inline constexpr std::string_view kNetworkErrorDomain = "com.eul.network.ErrorDomain";
inline constexpr std::string_view kNetworkErrorContext = "Context";
inline constexpr double kNetworkTemporaryFileExpiry = 3600;

enum NetworkErrorCode : std::int64_t {
    kNetworkErrorCodeUnknown = 0,
    kNetworkErrorCodeInvalidURL = 1,
    kNetworkErrorCodeCannotCreateSession = 2,
    kNetworkErrorCodeGzipFailed = 3,
    kNetworkErrorCodeInvalidRequest = 4,
    kNetworkErrorCodeEmptyResponse = 5,
};

class NetworkURLSession : public platform::URLSessionDelegate,
                          public std::enable_shared_from_this<NetworkURLSession> {
  public:
    using Completion = std::function<void(std::shared_ptr<const platform::HTTPURLResponse> response,
                                          std::optional<platform::Data> data, const std::string& sessionID,
                                          std::optional<platform::Error> error)>;
    using SystemCompletionHandler = std::function<void()>;

    static std::shared_ptr<NetworkURLSession> initWithNetworkLoggerDelegate(
        std::weak_ptr<NetworkLoggerDelegate> delegate);

    // Starts the upload; the session identifier, or nothing (the completion then has error 2).
    std::optional<std::string> sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                             Completion completion);
    std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                            Completion completion);

    const std::string& sessionID() const { return sessionID_; }
    bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
    void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
    const std::optional<std::filesystem::path>& uploadingFileURL() const { return uploadingFileURL_; }

    // The folder of temporary upload files: the data folder + "EUL/Network/EULNetworkTemporaryDirectory".
    static std::filesystem::path temporaryDirectory();
    std::filesystem::path temporaryFilePathWithSessionID(const std::string& sessionID) const;
    // Removes files of the folder created longer than `expiringTime` seconds ago.
    void maybeRemoveTempFilesAtURL(const std::filesystem::path& folder, double expiringTime);

    // Background sessions after a relaunch: the system's completion handler for a session identifier.
    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                      SystemCompletionHandler handler);
    static std::shared_ptr<NetworkURLSession> fetcherWithSessionIdentifier(const std::string& sessionID);
    static void setSessionInFetcherMap(const std::shared_ptr<NetworkURLSession>& session,
                                       const std::string& sessionID);
    static std::shared_ptr<NetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& sessionID);
    void addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& sessionID);
    // Removes the identifier's handler and calls it on the main queue.
    static void callSystemCompletionHandler(const std::string& sessionID);

    // URL-session events.
    void didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                        const std::shared_ptr<platform::URLSessionDataTask>& task,
                        const platform::Data& data) override;
    void didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>& session,
                                   const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                                   const platform::URL& location) override;
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>& session,
                              const std::shared_ptr<platform::URLSessionTask>& task,
                              const std::optional<platform::Error>& error) override;
    void didReceiveChallenge(const std::shared_ptr<platform::URLSession>& session,
                             const std::shared_ptr<platform::URLSessionTask>& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override;
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    platform::URLRequest newRequest, RedirectCompletion completion) override;
    // Neither metrics nor upload progress is used: the session spares collecting them.
    bool wantsMetrics(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }
    bool wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }

    explicit NetworkURLSession(std::weak_ptr<NetworkLoggerDelegate> delegate);

  private:
    platform::URLSessionConfiguration backgroundSessionConfigWithSessionID(
        const std::string& sessionID) const;
    void populateSessionConfig(platform::URLSessionConfiguration& config,
                               const platform::URLRequest& request) const;
    bool ensureTemporaryDirectoryExists();
    void removeTempItemAtURL(const std::optional<std::filesystem::path>& url);
    void callCompletionHandler(Completion handler, std::shared_ptr<const platform::HTTPURLResponse> response,
                               std::optional<platform::Data> data, std::optional<platform::Error> error);
    std::optional<std::string> start(const platform::URLRequest& request, Completion completion, bool upload);
    void log(long level, NetworkMessageCode code, const std::string& message,
             const std::vector<std::optional<std::string>>& contexts = {});

    std::mutex mutex_;
    Completion completionHandler_;
    std::string sessionID_;
    std::optional<platform::URLSessionConfiguration> sessionConfig_;
    // Held until the request completes: a session lives only while someone holds it, and the cycle
    // with the session (which holds its delegate) ends at completion.
    std::shared_ptr<platform::URLSession> URLSession_;
    std::filesystem::path networkDirectoryURL_;
    std::optional<platform::Data> downloadedData_;
    std::optional<std::filesystem::path> uploadingFileURL_;
    std::optional<platform::URLRequest> request_;
    bool backgroundNetworkEnabled_ = false;
    std::weak_ptr<NetworkLoggerDelegate> loggerDelegate_;
};

}  // namespace brisko::core
