// A resumable upload: a start request, then the payload in chunks, resumed through offset queries.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "fetcher/SessionFetcher.hpp"

namespace brisko::fetcher {

class SessionFetcherService;

// The upload protocol's headers and values.
inline constexpr std::string_view kUploadProtocolHeader = "X-Ezev-Upload-Protocol";
inline constexpr std::string_view kUploadProtocolResumable = "resumable";
inline constexpr std::string_view kUploadCommandHeader = "X-Ezev-Upload-Command";
inline constexpr std::string_view kUploadCommandStart = "start";
inline constexpr std::string_view kUploadCommandUpload = "upload";
inline constexpr std::string_view kUploadCommandUploadFinalize = "upload, finalize";
inline constexpr std::string_view kUploadCommandFinalize = "finalize";
inline constexpr std::string_view kUploadCommandQuery = "query";
inline constexpr std::string_view kUploadCommandCancel = "cancel";
inline constexpr std::string_view kUploadContentTypeHeader = "X-Ezev-Upload-Content-Type";
inline constexpr std::string_view kUploadContentLengthHeader = "X-Ezev-Upload-Content-Length";
inline constexpr std::string_view kUploadOffsetHeader = "X-Ezev-Upload-Offset";
inline constexpr std::string_view kUploadURLHeader = "X-Ezev-Upload-URL";
inline constexpr std::string_view kUploadStatusHeader = "X-Ezev-Upload-Status";
inline constexpr std::string_view kUploadChunkGranularityHeader = "X-Ezev-Upload-Chunk-Granularity";
inline constexpr std::string_view kUploadSizeReceivedHeader = "X-Ezev-Upload-Size-Received";
inline constexpr std::string_view kUploadUserAgentSuffix = "(ETMSUF/1)";

inline constexpr std::string_view kSessionFetcherUploadLocationObtainedNotification =
    "kETMSessionFetcherUploadLocationObtainedNotification";
inline constexpr std::string_view kSessionFetcherUploadInitialBackoffStartedNotification =
    "kETMSessionFetcherUploadInitialBackoffStartedNotification";

// The largest chunk sent in one request.
inline constexpr std::int64_t kUploadMaxChunkSize = 104857600;

enum class UploadStatus { unknown, active, final, cancelled };

class SessionUploadFetcher : public SessionFetcher {
  public:
    using DataProviderResponse = std::function<void(std::optional<Data> data, std::int64_t fullUploadLength,
                                                    std::optional<Error> error)>;
    // Produces the bytes at (offset, length) in its own time; a full length of -1 while still unknown.
    using DataProvider =
        std::function<void(std::int64_t offset, std::int64_t length, DataProviderResponse response)>;
    using CancellationHandler = std::function<void(std::shared_ptr<SessionFetcher> fetcher,
                                                   std::optional<Data> data, std::optional<Error> error)>;

    // Constructors: through the service when there is one; chunk fetchers use background sessions.
    static std::shared_ptr<SessionUploadFetcher> uploadFetcherWithRequest(
        std::optional<URLRequest> request, const std::shared_ptr<SessionFetcherService>& service);
    static std::shared_ptr<SessionUploadFetcher> uploadFetcherWithRequest(
        std::optional<URLRequest> request, std::optional<std::string> uploadMIMEType, std::int64_t chunkSize,
        const std::shared_ptr<SessionFetcherService>& service);
    // A restarted upload: the upload address is known; the fetch begins with an offset query.
    static std::shared_ptr<SessionUploadFetcher> uploadFetcherWithLocation(
        std::optional<platform::URL> location, std::optional<std::string> uploadMIMEType,
        std::int64_t chunkSize, const std::shared_ptr<SessionFetcherService>& service,
        bool allowsCellularAccess = true);
    static UploadStatus uploadStatusFromResponseHeaders(const std::optional<platform::HTTPHeaders>& headers);

    // A chunk size of 0 or less means the whole rest in one request (as large as a request may be).
    void setLocationURL(std::optional<platform::URL> location, std::optional<std::string> uploadMIMEType,
                        std::int64_t chunkSize, bool allowsCellularAccess);

    // Payload sources.
    void setUploadData(std::optional<Data> data);
    std::optional<Data> uploadData() const;
    void setUploadFileHandle(std::shared_ptr<std::istream> handle);
    std::shared_ptr<std::istream> uploadFileHandle() const;
    void setUploadFileURL(std::optional<platform::URL> url);
    std::optional<platform::URL> uploadFileURL() const;
    void setUploadDataLength(std::int64_t fullLength, DataProvider provider);
    void setUploadFileLength(std::int64_t length);
    std::optional<std::string> uploadMIMEType() const;
    void setUploadMIMEType(std::optional<std::string> type);
    std::int64_t chunkSize() const;

    void setCompletionHandler(CompletionHandler handler);
    CompletionHandler delegateCompletionHandler() const;
    void setDelegateCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);
    std::shared_ptr<platform::DispatchQueue> delegateCallbackQueue() const;
    CancellationHandler cancellationHandler() const;
    void setCancellationHandler(CancellationHandler handler);

    void pauseFetching();
    void resumeFetching();
    bool isPaused() const;

    std::shared_ptr<SessionFetcher> activeFetcher() const;
    std::shared_ptr<SessionFetcher> chunkFetcher() const;
    std::optional<platform::URL> uploadLocationURL() const;
    std::int64_t currentOffset() const;
    void setCurrentOffset(std::int64_t offset);
    std::optional<URLRequest> lastChunkRequest() const;
    double uploadRetryFactor() const;
    void setUploadRetryFactor(double factor);
    double maxUploadRetryInterval() const;
    void setMaxUploadRetryInterval(double seconds);  // 0 or less: 600 s
    double minUploadRetryInterval() const;
    void setMinUploadRetryInterval(double seconds);  // 0 or less: 1 s
    double nextUploadRetryInterval() const;
    std::shared_ptr<platform::Timer> uploadRetryTimer() const;
    bool allowsCellularAccess() const;
    std::int64_t uploadGranularity() const;
    bool shouldInitiateOffsetQuery() const;
    bool isSubdataGenerating() const;
    // The full payload length, -1 while a provider has not told it.
    std::int64_t fullUploadLength();

    // Overrides of the plain fetcher.
    void beginFetchWithCompletionHandler(CompletionHandler handler) override;
    void beginFetchForRetry() override;
    void stopFetching() override;
    void stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) override;
    bool isFetching() const override;
    bool waitForCompletionWithTimeout(double seconds) override;
    int statusCode() const override;
    std::optional<platform::HTTPHeaders> responseHeaders() const override;
    bool canFetchWithBackgroundSession() const override { return false; }
    bool useBackgroundSession() const override;
    void setUseBackgroundSession(bool value) override;

    // Background restore.
    platform::Dictionary uploadSessionIdentifierMetadata();
    static std::shared_ptr<SessionUploadFetcher> uploadFetcherForSessionIdentifierMetadata(
        const platform::Dictionary& metadata);
    // The live upload fetchers with background chunk fetchers, and one rebuilt for every recorded
    // background chunk fetcher that has lost its parent.
    static std::vector<std::shared_ptr<SessionUploadFetcher>> uploadFetchersForBackgroundSessions();
    static std::shared_ptr<SessionUploadFetcher> uploadFetcherForSessionIdentifier(
        const std::string& identifier);
    static void reconnectUploadFetchersForBackgroundSessionsOnAppLaunch();

    // The upload fetcher that made a chunk fetcher, if it still exists.
    static std::shared_ptr<SessionUploadFetcher> parentUploadFetcher(
        const std::shared_ptr<SessionFetcher>& chunkFetcher);

    SessionUploadFetcher(PrivateTag tag, std::optional<URLRequest> request,
                         std::optional<platform::URLSessionConfiguration> configuration)
        : SessionFetcher(tag, std::move(request), std::move(configuration)) {}

  protected:
    bool shouldReleaseCallbacksUponCompletion() const override { return false; }
    void didSendBodyDataForUpload(std::int64_t bytesSent, std::int64_t totalBytesSent,
                                  std::int64_t totalBytesExpectedToSend) override;

  private:
    friend class SessionFetcherService;
    std::shared_ptr<SessionUploadFetcher> uploadSelf() {
        return std::static_pointer_cast<SessionUploadFetcher>(shared_from_this());
    }
    void setupRequestHeaders();
    void startFetchFinished(std::optional<Data> data, std::optional<Error> error);
    void beginChunkFetches(std::optional<Data> data);
    void uploadNextChunkWithOffset(std::int64_t offset, std::optional<platform::Dictionary> properties);
    std::pair<std::int64_t, std::int64_t> updateChunkFetcher(
        const std::shared_ptr<SessionFetcher>& chunkFetcher, std::int64_t offset);
    std::shared_ptr<SessionFetcher> uploadFetcherWithProperties(
        std::optional<platform::Dictionary> properties, bool isQueryFetch);
    void attachSendProgressBlockToChunkFetcher(const std::shared_ptr<SessionFetcher>& chunkFetcher);
    void beginChunkFetcher(const std::shared_ptr<SessionFetcher>& chunkFetcher, std::int64_t offset);
    void beginUploadRetryTimer();
    void uploadRetryTimerFired();
    void destroyUploadRetryTimer();
    void startChunkFetcherNow();
    void generateChunkSubdata(std::int64_t offset, std::int64_t length, DataProviderResponse response);
    void chunkFetcherFinished(const std::shared_ptr<SessionFetcher>& chunkFetcher, std::optional<Data> data,
                              std::optional<Error> error);
    void queryFetcherFinished(const std::shared_ptr<SessionFetcher>& queryFetcher, std::optional<Data> data,
                              std::optional<Error> error);
    void sendQueryForUploadOffsetWithFetcherProperties(std::optional<platform::Dictionary> properties);
    void sendCancelUploadWithFetcherProperties(std::optional<platform::Dictionary> properties);
    void destroyChunkFetcher();
    void invokeFinalCallback(std::optional<Data> data, std::optional<Error> error,
                             bool shouldInvalidateLocation);
    void releaseUploadCallbacks(bool releaseCancellationHandler);
    Error prematureFailureError(const std::optional<Data>& data) const;
    Error chunkUnavailableError(std::string description) const;
    // Whether a server's "X-Ezev-Upload-Size-Received" can be true of this upload; a size it cannot hold
    // ends the upload with the premature-failure error (a protocol error of the server).
    bool acceptsReceivedSize(std::int64_t received);
    double nextUploadRetryIntervalUnsynchronized() const;
    std::int64_t fullUploadLengthUnsynchronized();
    void readGranularity(const std::optional<platform::HTTPHeaders>& headers);

    mutable std::recursive_mutex uploadMutex_;
    std::shared_ptr<SessionFetcher> chunkFetcher_;
    CompletionHandler delegateCompletionHandler_;
    std::shared_ptr<platform::DispatchQueue> delegateCallbackQueue_;
    std::int64_t initialBodyLength_ = 0;
    std::int64_t initialBodySent_ = 0;
    std::optional<platform::URL> uploadLocationURL_;
    std::optional<Data> uploadData_;
    std::shared_ptr<std::istream> uploadFileHandle_;
    DataProvider uploadDataProvider_;
    std::optional<platform::URL> uploadFileURL_;
    std::int64_t uploadFileLength_ = -1;
    std::optional<std::string> uploadMIMEType_;
    std::int64_t chunkSize_ = 0;
    std::int64_t uploadGranularity_ = 0;
    double uploadRetryFactor_ = 2.0;
    double nextUploadRetryInterval_ = 0;
    double maxUploadRetryInterval_ = 600;
    double minUploadRetryInterval_ = 1;
    bool isPaused_ = false;
    bool isRestartedUpload_ = false;
    bool shouldInitiateOffsetQuery_ = false;
    std::shared_ptr<platform::Timer> uploadRetryTimer_;
    bool useBackgroundSessionOnChunkFetchers_ = false;
    std::int64_t currentOffset_ = 0;
    // Chunk replies in a row whose received size did not move past the chunk's offset.
    int chunksWithoutProgress_ = 0;
    std::optional<platform::HTTPHeaders> recentChunkResponseHeaders_;
    std::int64_t recentChunkStatusCode_ = -1;
    // The fetcher now on the network: the upload fetcher's own start request, or a chunk, query or
    // cancel fetcher.
    bool selfInFlight_ = false;
    std::shared_ptr<SessionFetcher> fetcherInFlight_;
    bool isCancelInFlight_ = false;
    CancellationHandler cancellationHandler_;
    bool allowsCellularAccess_ = true;
    bool subdataGenerating_ = false;
    std::optional<URLRequest> lastChunkRequest_;
};

}  // namespace brisko::fetcher
