// Internal: the network side of URL sessions and tasks (libcurl transfers, redirects, TLS trust).
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/net/ContentDecoder.hpp"
#include "platform/net/CurlMulti.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/net/PendingUploadProgress.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/net/URLSessionBodyStream.hpp"

namespace brisko::platform::detail {

struct TaskCore;

// What a session shares with its tasks. Members marked "network" are touched on the network thread
// only; the rest are safe from any thread.
class SessionCore : public std::enable_shared_from_this<SessionCore> {
  public:
    SessionCore(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                std::shared_ptr<DispatchQueue> delegateQueue, bool isShared);
    ~SessionCore();

    const URLSessionConfiguration configuration;
    const std::shared_ptr<DispatchQueue> delegateQueue;
    const bool isShared;

    std::shared_ptr<URLSessionDelegate> delegate() const;
    std::shared_ptr<URLSession> facade() const { return facade_.lock(); }
    void setFacade(const std::shared_ptr<URLSession>& s) { facade_ = s; }
    std::uint64_t nextTaskIdentifier() { return nextIdentifier_.fetch_add(1); }

    // Gives a new task its network side and its request, and registers it.
    void attach(const std::shared_ptr<URLSessionTask>& task, std::optional<URLRequest> request);
    TaskCore& taskCore(URLSessionTask& task) { return *task.core_; }

    // Tasks made and not yet completed (weakly held: a task nobody keeps and nobody resumed goes away).
    void registerTask(const std::shared_ptr<URLSessionTask>& task);
    void unregisterTask(const URLSessionTask* task);
    std::vector<std::shared_ptr<URLSessionTask>> liveTasks();

    bool invalidating() const { return invalidating_.load(); }
    bool invalidated() const { return invalidated_.load(); }
    void finishTasksAndInvalidate();
    void invalidateAndCancel();
    // The facade went away: drop the delegate and the connections.
    void shutdown();

    std::string description() const;
    void setDescription(std::string d);

    // network
    CurlMulti& multi();
    // Queues an event for the delegate queue; the events of one loop iteration go over together, in
    // order, with one wake-up of the delegate queue.
    void deliver(UniqueFunction<void()> event);
    // A task started; it calls taskFinished once, after it posted its last event (`session` keeps the
    // facade alive for the invalidation event).
    void taskStarted();
    void taskFinished(const std::shared_ptr<URLSession>& session);
    // Leaf-certificate fingerprints accepted by the delegate, per origin.
    bool isPinned(const std::string& origin) const;
    const std::set<Data>* pins(const std::string& origin) const;
    void addPin(const std::string& origin, Data fingerprint);

  private:
    void maybeFinishInvalidation(const std::shared_ptr<URLSession>& session);
    void onTransferDone(CURL* easy, CURLcode result);

    std::weak_ptr<URLSession> facade_;
    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::unordered_map<const URLSessionTask*, std::weak_ptr<URLSessionTask>> tasks_;
    std::size_t sweepAt_ = 64;
    std::string description_;
    std::atomic<std::uint64_t> nextIdentifier_{1};
    std::atomic<bool> invalidating_{false};
    std::atomic<bool> invalidated_{false};

    // network
    std::unique_ptr<CurlMulti> multi_;
    std::vector<UniqueFunction<void()>> outbox_;
    bool deliversOnNetwork_ = false;  // the delegate queue runs on the network thread
    std::size_t runningTasks_ = 0;
    std::map<std::string, std::set<Data>> pins_;
};

// One task's transfer: hops (the first request and each redirect), decisions, sinks and events.
struct TaskCore : std::enable_shared_from_this<TaskCore> {
    using Event = UniqueFunction<void()>;

    TaskCore(const std::shared_ptr<SessionCore>& session, URLSessionTask::Kind kind);
    ~TaskCore();

    // Set when the task is made (before any resume).
    std::weak_ptr<SessionCore> sessionCore;
    URLSessionTask::Kind kind;
    URLRequest originalRequest;
    std::shared_ptr<const Data> uploadData;
    std::optional<std::string> uploadFilePath;
    // The part of the upload file that is sent: `uploadFileLength` bytes from `uploadFileOffset`, or
    // everything when no length is given.
    std::int64_t uploadFileOffset = 0;
    std::optional<std::int64_t> uploadFileLength;
    std::optional<Data> resumeData;
    // Made by uploadTaskWithStreamedRequest: the body is a stream.
    bool streamedUpload = false;
    URLSession::DataCompletion dataCompletion;
    URLSession::DownloadCompletion downloadCompletion;
    bool hasCompletionHandler = false;
    // The completion only hands the outcome on to another executor (the coroutine forms): when no
    // delegate hears of the task, nothing can be ordered against it, and it runs as the task ends
    // rather than after a trip through the delegate queue.
    bool completionPassesOn = false;

    // Controls, from any thread. The task is held strongly from resume (or cancel) to completion,
    // whether or not its caller keeps it.
    void resume(std::shared_ptr<URLSessionTask> task);
    void suspend();
    void cancel(std::shared_ptr<URLSessionTask> task);
    void cancelProducingResumeData(std::shared_ptr<URLSessionTask> task,
                                   UniqueFunction<void(std::optional<Data>)> completion);

    // network: transfer callbacks
    static std::size_t headerCallback(char* buffer, std::size_t size, std::size_t count, void* userp);
    static std::size_t writeCallback(char* buffer, std::size_t size, std::size_t count, void* userp);
    static std::size_t readCallback(char* buffer, std::size_t size, std::size_t count, void* userp);
    static int seekCallback(void* userp, curl_off_t offset, int origin);
    static std::size_t streamReadCallback(char* buffer, std::size_t size, std::size_t count, void* userp);
    static int streamSeekCallback(void* userp, curl_off_t offset, int origin);
    static int progressCallback(void* userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                                curl_off_t ulnow);
    static CURLcode sslContextCallback(CURL* easy, void* sslContext, void* userp);
    void onTransferDone(CURLcode result);
    // The verdict of a handshake's certificate check (inside libcurl, on the network thread).
    void onServerTrust(std::shared_ptr<const ServerTrust> trust, bool acceptedByPin);

  private:
    friend class SessionCore;
    enum class Decision { none, pending, done };

    // Takes the strong references a running task holds (the session is the caller's, taken when it
    // resumed or cancelled the task, so that a session dropped right after resume() still runs it).
    bool acquire(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session);
    void start(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session, bool refused);
    std::shared_ptr<URLSession> callerSession() const;
    bool startHop();
    void releaseHop();
    void stopTransfer();
    void issueChallenge(std::shared_ptr<const ServerTrust> trust, bool untrusted);
    bool buildHeaderList(std::string& problem);
    void onHeaderLine(std::string_view line);
    void reportUploadProgress(std::int64_t sent);
    std::int64_t bodyBytesSent(curl_off_t uploaded) const;
    void onHeadComplete();
    void onFinalHead();
    std::size_t onBody(const char* data, std::size_t length);
    bool deliverBody(const char* data, std::size_t length);
    bool holdBody(const char* data, std::size_t length);
    // False (and the task's error set) when `length` more body bytes would pass the session's maximum.
    bool fitsBodyLimit(std::int64_t taken, std::size_t length);
    void onRedirect();
    void onRedirectDecision(std::optional<URLRequest> request);
    void deliverHeldResponse();
    // Streamed bodies
    bool usesBodyStream() const;
    void requestBodyStream();
    void onBodyStream(std::shared_ptr<InputStream> stream);
    void onBodyStreamReady(std::uint64_t hop);
    // HTTP authentication (401)
    bool isAuthChallenge();
    URLProtectionSpace authSpace() const;
    void onAuthChallenge();
    void onAuthAnswer(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential);
    void retryWithCredential(std::string user, std::string password);
    void askChallenge(URLAuthenticationChallenge challenge, bool ungated,
                      UniqueFunction<void(TaskCore&, URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>
                          onAnswer);
    void onResponseDecision(URLSessionResponseDisposition disposition);
    void onChallengeAnswer(bool untrustedPath, URLSessionAuthChallengeDisposition disposition,
                           std::optional<URLCredential> credential);
    void continueAfterDecision();
    void finishSuccess();
    void complete(std::optional<Error> error);
    void applyPause();
    void armTimers();
    void checkTimers();
    // Data moved: the idle timeout starts again.
    void touch();
    bool openDownloadFile(bool append);
    std::optional<Error> openBodyFile(const std::string& path);
    void closeBodyFile();
    std::optional<Data> makeResumeData() const;
    bool parseResumeData();
    Error transportError(CURLcode rc) const;
    void emit(Event event);
    void emitUngated(Event event);
    void openGate();
    void updateTaskState(URLSessionTaskState state);
    void collectMetrics();

    // network state
    bool started_ = false;
    bool completed_ = false;
    bool suspended_ = false;
    bool pausedForDecision_ = false;
    std::shared_ptr<URLSessionTask> task_;          // strong while running
    std::shared_ptr<URLSession> session_;           // strong while running
    std::shared_ptr<SessionCore> core_;             // strong while running
    std::shared_ptr<URLSessionDelegate> delegate_;  // taken at start: events of a running task still go to it
    CURL* easy_ = nullptr;
    bool inMulti_ = false;
    curl_slist* headerList_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    URLRequest current_;
    std::shared_ptr<const Data> hopBody_;
    // The body file (an upload task's, or the request's), read with pread: `bodyFileSize_` bytes from
    // `bodyFileStart_`, of which `bodyFilePos_` have gone to libcurl in this hop.
    int bodyFd_ = -1;
    std::int64_t bodyFileStart_ = 0;
    std::int64_t bodyFileSize_ = 0;
    std::int64_t bodyFilePos_ = 0;
    std::int64_t lastReportedSent_ = 0;
    std::shared_ptr<PendingUploadProgress> openProgress_;  // the last event queued, while nothing followed it
    bool sendsBody_ = false;      // this hop sends a body
    bool tracksUpload_ = false;   // ... and bytes going out restart the idle timeout
    bool wantsProgress_ = false;  // ... and the delegate hears of it
    bool bodyDropped_ = false;  // a redirect turned the request into a GET
    // Streamed body: the stream of this hop, the one the next hop sends, and whether the request's
    // own stream was used (a stream is read once; later hops ask the delegate).
    std::shared_ptr<URLSessionBodyStream> bodyStream_;
    std::shared_ptr<InputStream> nextBodyStream_;
    bool requestStreamUsed_ = false;
    bool awaitingBodyStream_ = false;
    bool pausedForBody_ = false;  // libcurl waits for stream bytes
    bool chunkedBody_ = false;
    std::uint64_t hopNumber_ = 0;
    // HTTP authentication: the 401 being answered, the challenges per protection space so far, the
    // credential in use (sent to its origin only) and the spaces the URL's own credential was tried for.
    struct AuthAnswer {
        long curlMethod = 0;
        std::string user, password, origin;
    };
    bool authHop_ = false;
    std::string authMethod_;
    std::optional<std::string> authRealm_;
    std::map<std::string, int> authChallenges_;
    std::set<std::string> urlCredentialTried_;
    std::optional<AuthAnswer> authCredential_;
    bool digestNegotiating_ = false;  // libcurl's own first Digest round trip is under way
    bool ignoringBody_ = false;       // the body of that round trip's 401
    int redirectCount_ = 0;
    Date hopStartDate_{};

    // response head of the current hop
    int statusCode_ = 0;
    std::string httpVersion_;
    HTTPHeaders headers_;
    bool inHead_ = false;
    std::shared_ptr<const HTTPURLResponse> response_;
    bool redirectHop_ = false;
    Data heldBody_;  // body of a 3xx hop, or body that arrived before the response decision
    std::unique_ptr<ContentDecoder> decoder_;  // this hop's body decoder, when its body is encoded

    Decision responseDecision_ = Decision::none;
    bool responseDecisionWanted_ = true;  // the delegate asks to decide on the response
    bool metricsWanted_ = true;
    bool progressWanted_ = true;  // the delegate asks for upload progress
    std::optional<CURLcode> doneWhileDeciding_;

    // events held while a server-trust challenge on a trusted connection awaits its answer
    bool gated_ = false;
    std::vector<Event> held_;
    std::shared_ptr<const ServerTrust> untrustedTrust_;  // the last failed handshake of this hop
    std::shared_ptr<const ServerTrust> pendingChallengeTrust_;
    int trustChallenges_ = 0;

    Data collected_;  // body for completion handlers
    std::FILE* downloadFile_ = nullptr;
    std::string downloadPath_;
    std::int64_t downloadWritten_ = 0;
    std::int64_t resumeOffset_ = 0;
    bool resumeDataInvalid_ = false;
    std::optional<std::string> etag_, lastModified_;
    std::int64_t expectedTotal_ = -1;
    bool keepDownloadFile_ = false;
    bool downloadDelivered_ = false;  // the delegate got the file (and removes it)

    std::optional<Error> abortError_;
    NetworkLoop::TimerId timer_ = 0;
    std::chrono::steady_clock::time_point lastActivity_{};
    std::chrono::steady_clock::time_point resourceDeadline_{};
    std::chrono::steady_clock::duration idleTimeout_{};

    URLSessionTaskMetrics metrics_;
    std::chrono::steady_clock::time_point taskStart_{};
};

}  // namespace brisko::platform::detail
