// The delegate of a URL session: session, task, data and download events, with decision callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Clock.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/InputStream.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLAuthenticationChallenge.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/net/URLSessionTask.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

class URLSession;

enum class URLSessionResponseDisposition { cancel = 0, allow = 1, becomeDownload = 2, becomeStream = 3 };

// A response and its body as a cache would keep them (the session has no URL cache; the type exists
// for delegates that forward willCacheResponse).
struct CachedURLResponse {
    std::shared_ptr<const HTTPURLResponse> response;
    Data data;
};

// Timing of one request/response exchange of a task (one per redirect hop).
struct URLSessionTaskTransactionMetrics {
    URLRequest request;
    std::shared_ptr<const HTTPURLResponse> response;
    Date fetchStartDate{};
    Date responseEndDate{};
    double domainLookupDuration = 0;  // seconds
    double connectDuration = 0;
    double secureConnectionDuration = 0;
    double timeToFirstByte = 0;
    std::string networkProtocolName;  // "http/1.1", "h2"
    bool isReusedConnection = false;
    std::optional<std::string> remoteAddress;
    std::optional<int> remotePort;
};

struct URLSessionTaskMetrics {
    Date taskIntervalStart{};
    double taskIntervalDuration = 0;  // seconds
    int redirectCount = 0;
    std::vector<URLSessionTaskTransactionMetrics> transactionMetrics;
};

// Every event of a session goes to its delegate, one at a time, on the session's delegate queue, in
// this order per task: needNewBodyStream (streamed bodies, before each sending of the body),
// willPerformHTTPRedirection (each redirect), didReceiveChallenge (server trust on a new TLS
// connection; HTTP authentication on a 401), didReceiveResponse, didReceiveData / didSendBodyData /
// didWriteData, didFinishDownloadingToURL (downloads), didFinishCollectingMetrics, then
// didCompleteWithError, exactly once and last. Decision callbacks take a completion that must be
// called exactly once (from any thread); the task waits for it (a decision that never comes ends in
// the idle timeout, -1001). The defaults answer as the platform does without a delegate method.
//
// A session holds its delegate strongly until it is invalidated (didBecomeInvalidWithError is the
// delegate's last event).
class URLSessionDelegate {
public:
    using RedirectCompletion = UniqueFunction<void(std::optional<URLRequest>)>;
    using ChallengeCompletion = UniqueFunction<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;
    using ResponseCompletion = UniqueFunction<void(URLSessionResponseDisposition)>;
    using CacheCompletion = UniqueFunction<void(std::optional<CachedURLResponse>)>;
    using BodyStreamCompletion = UniqueFunction<void(std::shared_ptr<InputStream>)>;

    virtual ~URLSessionDelegate() = default;

    // Session events.

    // The session was invalidated (finishTasksAndInvalidate after its last task, or
    // invalidateAndCancel); no event follows.
    virtual void didBecomeInvalidWithError(const std::shared_ptr<URLSession>& session,
                                           const std::optional<Error>& error) {
        (void)session, (void)error;
    }

    // Task events.

    // A 3xx response with a Location: `newRequest` is the proposed request (method changed for 301/302
    // POST and 303, body dropped then; "Authorization" and "Cookie" dropped when the new URL has
    // another scheme, host or port). Answer it, a changed request, or nothing to stop: the task then
    // completes normally with the 3xx response and its body. The session still drops "Authorization"
    // and "Cookie" from any answer that goes to another origin.
    virtual void willPerformHTTPRedirection(const std::shared_ptr<URLSession>& session,
                                            const std::shared_ptr<URLSessionTask>& task,
                                            const std::shared_ptr<const HTTPURLResponse>& response,
                                            URLRequest newRequest, RedirectCompletion completion) {
        (void)session, (void)task, (void)response;
        completion(std::move(newRequest));
    }

    // Server trust, once per new TLS connection (method kURLAuthenticationMethodServerTrust, with the
    // chain and its verdict). useCredential with the trust accepts the server even when untrusted;
    // performDefaultHandling accepts it only when trusted; cancel refuses it (the task fails with
    // -1202 when the chain was untrusted, else -999).
    //
    // HTTP authentication: a 401 whose "WWW-Authenticate" offers Basic or Digest (Digest preferred)
    // is a challenge before any response is delivered: the protection space has the URL's host, port
    // and scheme, kURLAuthenticationMethodHTTPBasic or HTTPDigest and the header's realm;
    // previousFailureCount counts this task's earlier challenges of that space; failureResponse is the
    // 401; proposedCredential is the URL's user and password when it has them. useCredential with a
    // user and password sends the request again with them (the body anew: a streamed body through
    // needNewBodyStream), and to that origin only; performDefaultHandling does so with the URL's own
    // user and password once, when it has them, else delivers the 401 as the response, as do
    // rejectProtectionSpace and a useCredential without a user and password; cancel ends the task
    // with -999. Other schemes (Bearer...) and 407 are not challenges: the response is delivered.
    virtual void didReceiveChallenge(const std::shared_ptr<URLSession>& session,
                                     const std::shared_ptr<URLSessionTask>& task,
                                     const URLAuthenticationChallenge& challenge, ChallengeCompletion completion) {
        (void)session, (void)task, (void)challenge;
        completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }

    // A streamed body (uploadTaskWithStreamedRequest, or a request with an HTTPBodyStream) is needed:
    // when the task starts without a stream in its request, and each time the body must be sent anew
    // (a 307 or 308 redirect, an authentication retry). Answer a new, unopened stream of the same
    // body; nothing fails the task with -1021 (URLErrorCode::requestBodyStreamExhausted).
    virtual void needNewBodyStream(const std::shared_ptr<URLSession>& session,
                                   const std::shared_ptr<URLSessionTask>& task, BodyStreamCompletion completion) {
        (void)session, (void)task;
        completion(nullptr);
    }

    virtual void didSendBodyData(const std::shared_ptr<URLSession>& session,
                                 const std::shared_ptr<URLSessionTask>& task, std::int64_t bytesSent,
                                 std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) {
        (void)session, (void)task, (void)bytesSent, (void)totalBytesSent, (void)totalBytesExpectedToSend;
    }
    // Whether didSendBodyData is called for `task`; a delegate that ignores upload progress may say no
    // and spare the events (the task's byte counts still move). Asked like wantsMetrics.
    virtual bool wantsUploadProgress(const std::shared_ptr<URLSessionTask>& task) {
        (void)task;
        return true;
    }

    virtual void didFinishCollectingMetrics(const std::shared_ptr<URLSession>& session,
                                            const std::shared_ptr<URLSessionTask>& task,
                                            const URLSessionTaskMetrics& metrics) {
        (void)session, (void)task, (void)metrics;
    }
    // Whether metrics are collected for `task` and handed to didFinishCollectingMetrics; a delegate
    // that ignores them may say no and spare the work. Asked when the task is resumed, on the thread
    // that resumes it (so it must be quick and must not wait for the delegate queue).
    virtual bool wantsMetrics(const std::shared_ptr<URLSessionTask>& task) {
        (void)task;
        return true;
    }

    // The task's last event: no error on any HTTP response (whatever its status), else the error.
    virtual void didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                      const std::shared_ptr<URLSessionTask>& task, const std::optional<Error>& error) {
        (void)session, (void)task, (void)error;
    }

    // Data task events.

    // The final response head (after redirects). allow goes on; cancel ends the task with -999;
    // becomeDownload turns the rest of the body into a download (didBecomeDownloadTask, then download
    // events for the new task).
    virtual void didReceiveResponse(const std::shared_ptr<URLSession>& session,
                                    const std::shared_ptr<URLSessionDataTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>& response,
                                    ResponseCompletion completion) {
        (void)session, (void)task, (void)response;
        completion(URLSessionResponseDisposition::allow);
    }

    // Whether didReceiveResponse is to be asked about `task`'s response. A delegate that would answer
    // allow at once may say no: the session then leaves out that call and goes on with the body without
    // waiting for an answer from the delegate queue (a round trip between threads). Asked like
    // wantsMetrics.
    virtual bool wantsResponseDecision(const std::shared_ptr<URLSessionDataTask>& task) {
        (void)task;
        return true;
    }

    virtual void didBecomeDownloadTask(const std::shared_ptr<URLSession>& session,
                                       const std::shared_ptr<URLSessionDataTask>& dataTask,
                                       const std::shared_ptr<URLSessionDownloadTask>& downloadTask) {
        (void)session, (void)dataTask, (void)downloadTask;
    }

    // A piece of the (decoded) body, in order.
    virtual void didReceiveData(const std::shared_ptr<URLSession>& session,
                                const std::shared_ptr<URLSessionDataTask>& task, const Data& data) {
        (void)session, (void)task, (void)data;
    }

    // Never called by this session (it keeps no cache); present so forwarding delegates compile.
    virtual void willCacheResponse(const std::shared_ptr<URLSession>& session,
                                   const std::shared_ptr<URLSessionDataTask>& task, CachedURLResponse proposed,
                                   CacheCompletion completion) {
        (void)session, (void)task;
        completion(std::move(proposed));
    }

    // Download task events.

    // The body is complete in the file at `location`; move or read it now: it is removed when this
    // returns.
    virtual void didFinishDownloadingToURL(const std::shared_ptr<URLSession>& session,
                                           const std::shared_ptr<URLSessionDownloadTask>& task, const URL& location) {
        (void)session, (void)task, (void)location;
    }

    virtual void didWriteData(const std::shared_ptr<URLSession>& session,
                              const std::shared_ptr<URLSessionDownloadTask>& task, std::int64_t bytesWritten,
                              std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite) {
        (void)session, (void)task, (void)bytesWritten, (void)totalBytesWritten, (void)totalBytesExpectedToWrite;
    }

    // A download made from resume data continues at `fileOffset` (0 when the server sent it all again).
    virtual void didResumeAtOffset(const std::shared_ptr<URLSession>& session,
                                   const std::shared_ptr<URLSessionDownloadTask>& task, std::int64_t fileOffset,
                                   std::int64_t expectedTotalBytes) {
        (void)session, (void)task, (void)fileOffset, (void)expectedTotalBytes;
    }
};

}  // namespace brisko::platform
