// A URL session: HTTP(S) tasks over libcurl on one network thread, events on a delegate queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLError.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/net/URLSessionDelegate.hpp"
#include "platform/net/URLSessionTask.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

// Sessions share one process-wide network thread that only moves bytes (libcurl's multi interface);
// each session keeps its own connections (reused between its tasks) and delivers its events and
// completion handlers on its delegate queue, one at a time. Redirects are decided by the session
// (through the delegate); cookies come only from the configuration's cookie storage; bodies are
// decompressed (gzip, deflate, br) as libcurl announces in "Accept-Encoding". A URL's user and
// password are sent only in answer to a 401 (URLSessionDelegate::didReceiveChallenge), never up front.
//
// Transport failures become "NSURLErrorDomain" errors (URLError.hpp): -1001 timed out, -1003 unknown
// host, -1004 refused, -1005 connection lost, -1200 TLS failure, -1202 untrusted certificate, -1007 too
// many redirects, -1000 bad URL, -1002 unsupported scheme, -999 cancelled, -1011/-1017 bad response.
// A streamed body fails the task with -1021 (URLErrorCode::requestBodyStreamExhausted) when the delegate
// gives no stream, when the stream ends before the announced "Content-Length" or when it cannot be sent
// again; with -1102 (noPermissionsToReadFile, the stream's error under NSUnderlyingError) when a read
// fails.
class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // Completion handlers run on the delegate queue, in place of the delegate's didReceiveResponse,
    // didReceiveData, download and didCompleteWithError events (redirect, challenge, upload progress
    // and metrics still go to the delegate). Data: the body (empty when none) on success.
    using DataCompletion =
        UniqueFunction<void(std::optional<Data>, std::shared_ptr<const HTTPURLResponse>, std::optional<Error>)>;
    // Download: a temporary file, removed when the handler returns.
    using DownloadCompletion =
        UniqueFunction<void(std::optional<URL>, std::shared_ptr<const HTTPURLResponse>, std::optional<Error>)>;

    // A new session. Without a delegate queue the session makes a serial queue of its own.
    static std::shared_ptr<URLSession> sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                                                std::shared_ptr<DispatchQueue> delegateQueue = nullptr);
    // The process-wide session for simple callers: default configuration, no delegate; it cannot be
    // invalidated.
    static std::shared_ptr<URLSession> shared();
    // The network thread's own queue. A sequence of requests run there (a coroutine on its executor, say)
    // makes no thread hop between them, and a session with it as delegate queue runs its events and
    // completion handlers right where the transfer ends. Work queued there must never block.
    static const std::shared_ptr<DispatchQueue>& networkQueue();

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const;
    // Nothing once the session has been invalidated.
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<DispatchQueue>& delegateQueue() const;
    std::string sessionDescription() const;
    void setSessionDescription(std::string description);

    // Task factories. Tasks start suspended: call resume(). A task made after the session was
    // invalidated fails with -999 when resumed.
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(URLRequest request);
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(URLRequest request, DataCompletion completion);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(URL url);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(URL url, DataCompletion completion);

    // Upload tasks send the given bytes or file as the body (the request's own body is ignored).
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, Data bodyData);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, Data bodyData,
                                                                DataCompletion completion);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, const URL& fileURL);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, const URL& fileURL,
                                                                DataCompletion completion);
    // Sends `length` bytes of the file from `offset`, read in place (a part of a large file needs no
    // copy of its own). A range beyond the end of the file fails with -1008 when resumed.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, const URL& fileURL,
                                                                std::int64_t offset, std::int64_t length);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(URLRequest request, const URL& fileURL,
                                                                std::int64_t offset, std::int64_t length,
                                                                DataCompletion completion);

    // Sends the request's HTTPBodyStream, or else a stream from the delegate's needNewBodyStream, as
    // the body: chunked unless the request sets "Content-Length". The stream is read on a queue of its
    // own into a bounded buffer, so a stream of any length takes little memory and a slow stream never
    // holds up other transfers.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(URLRequest request);

    // Download tasks write the body to a temporary file (didFinishDownloadingToURL).
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(URLRequest request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(URLRequest request, DownloadCompletion completion);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithURL(URL url);
    // Continues a download from the resume data of cancelByProducingResumeData or of a failed
    // download's error (kURLSessionDownloadTaskResumeData). Resume data that cannot be read makes a
    // task that fails with -1000 (bad URL) when resumed.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(Data resumeData);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(Data resumeData, DownloadCompletion completion);

    // Coroutine forms (Swift's data(for:) and upload(for:from:)): run a task and return the body and
    // the response; transport failures throw ErrorException. Any HTTP status is a result.
    struct DataResult {
        Data data;
        std::shared_ptr<const HTTPURLResponse> response;
    };
    Task<DataResult> data(URLRequest request);
    Task<DataResult> upload(URLRequest request, Data bodyData);

    // Tasks not yet completed.
    void
    getAllTasksWithCompletionHandler(UniqueFunction<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion);
    void getTasksWithCompletionHandler(UniqueFunction<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                                                           std::vector<std::shared_ptr<URLSessionUploadTask>>,
                                                           std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
                                           completion);

    // Running tasks complete; new tasks fail with -999; didBecomeInvalidWithError follows the last.
    void finishTasksAndInvalidate();
    // Cancels every task (-999), then invalidates as above.
    void invalidateAndCancel();
    bool isInvalidated() const;

    // The internal side, for the tasks (not for callers).
    const std::shared_ptr<detail::SessionCore>& core() const { return core_; }

private:
    URLSession() = default;
    friend class detail::SessionCore;
    std::shared_ptr<detail::SessionCore> core_;
};

}  // namespace brisko::platform
