// The fetcher as its task's URL-session delegate: redirects, challenges, body data, downloads, completion.
#include <filesystem>
#include <fstream>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"
#include "fetcher/internal/HeaderFields.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLError.hpp"

namespace brisko::fetcher {

using platform::Data;
using platform::Dictionary;
using platform::Error;
using platform::URL;
using platform::URLRequest;

namespace {
// A failed download's body is kept for its status error only when it is this small.
constexpr std::int64_t kMaxDownloadErrorBodyLength = 20000;
constexpr std::string_view kOperationCancelledText = "Operation cancelled";

template <class F>
std::shared_ptr<F> share(F f) {
    return std::make_shared<F>(std::move(f));
}

std::mutex& serverTrustLock() {
    static std::mutex m;
    return m;
}
}  // namespace

std::optional<URL> SessionFetcher::redirectURLWithOriginalRequestURL(const std::optional<URL>& original,
                                                                     const std::optional<URL>& redirect) {
    if (!redirect) return original;
    if (!original) return redirect;
    const std::string& requestScheme = original->scheme();
    const std::string& redirectScheme = redirect->scheme();
    bool sameScheme = !requestScheme.empty() && !redirectScheme.empty() &&
                      platform::equalsIgnoringASCIICase(requestScheme, redirectScheme);
    bool upgrade = platform::equalsIgnoringASCIICase(requestScheme, "http") &&
                   platform::equalsIgnoringASCIICase(redirectScheme, "https");
    if (sameScheme || upgrade) return redirect;
    std::string scheme = requestScheme.empty() ? std::string("https") : requestScheme;
    if (platform::equalsIgnoringASCIICase(redirectScheme, scheme) && redirectScheme.size() == scheme.size())
        return redirect;
    auto changed = redirect->withScheme(scheme);
    return changed ? changed : redirect;
}

void SessionFetcher::willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>&,
                                                const std::shared_ptr<platform::URLSessionTask>& task,
                                                const ResponsePtr& redirectResponse, URLRequest newRequest,
                                                RedirectCompletion completion) {
    setSessionTask(task);
    std::unique_lock lock(mutex_);
    if (userStoppedFetching_) {
        lock.unlock();
        completion(std::nullopt);
        return;
    }
    if (!redirectResponse) {
        lock.unlock();
        completion(std::move(newRequest));
        return;
    }
    URLRequest redirectRequest = request_.value_or(newRequest);
    std::optional<URL> originalURL = redirectRequest.url();
    std::optional<URL> redirectURL = redirectURLWithOriginalRequestURL(originalURL, newRequest.url());
    redirectRequest.setURL(redirectURL);
    // Credentials of one origin never travel to another.
    if (!originalURL || !redirectURL || originalURL->origin() != redirectURL->origin()) {
        redirectRequest.setValue(std::nullopt, internal::kAuthorizationField);
        redirectRequest.setValue(std::nullopt, internal::kCookieField);
    }
    redirectRequest.allHTTPHeaderFields().merge(newRequest.allHTTPHeaderFields());
    response_ = redirectResponse;

    if (willRedirectBlock_) {
        auto block = willRedirectBlock_;
        auto sharedCompletion = share(std::move(completion));
        std::weak_ptr<SessionFetcher> weakSelf = weak_from_this();
        lock.unlock();
        invokeOnCallbackQueueAfterUserStopped(
            true, [block, redirectResponse, redirectRequest, sharedCompletion, weakSelf] {
                block(redirectResponse, redirectRequest,
                      [sharedCompletion, weakSelf](std::optional<URLRequest> clientRequest) {
                          if (auto self = weakSelf.lock()) {
                              if (clientRequest) self->updateMutableRequest(clientRequest);
                          }
                          (*sharedCompletion)(std::move(clientRequest));
                      });
            });
    } else {
        request_ = redirectRequest;
        lock.unlock();
        completion(std::move(redirectRequest));
    }
}

void SessionFetcher::didReceiveResponse(const std::shared_ptr<platform::URLSession>&,
                                        const std::shared_ptr<platform::URLSessionDataTask>& task,
                                        const ResponsePtr& response, ResponseCompletion completion) {
    setSessionTask(task);
    auto sharedCompletion = share(std::move(completion));
    auto self = shared_from_this();
    // A second response head (after a redirect that carried a body) starts the body afresh.
    auto finish = [self, sharedCompletion](platform::URLSessionResponseDisposition disposition) {
        bool hadBody;
        AccumulateDataBlock accumulate;
        {
            std::lock_guard lock(self->mutex_);
            hadBody =
                self->downloadedLength_ > 0 || (self->downloadedData_ && !self->downloadedData_->empty());
            if (self->downloadedData_) self->downloadedData_->clear();
            self->downloadedLength_ = 0;
            accumulate = self->accumulateDataBlock_;
        }
        if (hadBody && disposition != platform::URLSessionResponseDisposition::cancel && accumulate) {
            self->invokeOnCallbackQueueUnlessStopped([accumulate] { accumulate(std::nullopt); });
        }
        (*sharedCompletion)(disposition);
    };
    DidReceiveResponseBlock block = didReceiveResponseBlock();
    if (block) {
        invokeOnCallbackQueueAfterUserStopped(true, [block, response, finish] { block(response, finish); });
    } else {
        finish(platform::URLSessionResponseDisposition::allow);
    }
}

bool SessionFetcher::wantsResponseDecision(const std::shared_ptr<platform::URLSessionDataTask>&) {
    return static_cast<bool>(didReceiveResponseBlock());
}

bool SessionFetcher::wantsMetrics(const std::shared_ptr<platform::URLSessionTask>&) {
    return static_cast<bool>(metricsCollectionBlock());
}

bool SessionFetcher::wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>&) {
    return static_cast<bool>(sendProgressBlock());
}

void SessionFetcher::didBecomeDownloadTask(
    const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionDataTask>&,
    const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask) {
    setSessionTask(downloadTask);
}

void SessionFetcher::didReceiveChallenge(const std::shared_ptr<platform::URLSession>&,
                                         const std::shared_ptr<platform::URLSessionTask>& task,
                                         const platform::URLAuthenticationChallenge& challenge,
                                         ChallengeCompletion completion) {
    setSessionTask(task);
    ChallengeBlock block = challengeBlock();
    if (block) {
        auto sharedCompletion = share(std::move(completion));
        auto self = shared_from_this();
        invokeOnCallbackQueueAfterUserStopped(true, [block, self, challenge, sharedCompletion] {
            block(self, challenge,
                  [sharedCompletion](platform::URLSessionAuthChallengeDisposition disposition,
                                     std::optional<platform::URLCredential> credential) {
                      (*sharedCompletion)(disposition, std::move(credential));
                  });
        });
        return;
    }
    respondToChallenge(challenge, std::move(completion));
}

void SessionFetcher::respondToChallenge(const platform::URLAuthenticationChallenge& challenge,
                                        ChallengeCompletion completion) {
    using Disposition = platform::URLSessionAuthChallengeDisposition;
    std::unique_lock lock(mutex_);
    if (challenge.previousFailureCount > 2) {
        lock.unlock();
        completion(Disposition::cancelAuthenticationChallenge, std::nullopt);
        return;
    }
    const auto& space = challenge.protectionSpace;
    if (space.authenticationMethod == platform::kURLAuthenticationMethodServerTrust) {
        auto trust = space.serverTrust;
        if (!trust) {
            lock.unlock();
            completion(Disposition::performDefaultHandling, std::nullopt);
            return;
        }
        if (allowInvalidServerCertificates_) {
            lock.unlock();
            completion(Disposition::useCredential, platform::URLCredential::forTrust(trust));
            return;
        }
        lock.unlock();
        // One evaluation at a time in the process, off the delegate queue.
        auto sharedCompletion = share(std::move(completion));
        internal::globalQueue()->async([trust, sharedCompletion] {
            bool accepted;
            {
                std::lock_guard trustLock(serverTrustLock());
                accepted = trust->evaluate() && (trust->result() == platform::TrustResult::proceed ||
                                                 trust->result() == platform::TrustResult::unspecified);
            }
            if (accepted) {
                (*sharedCompletion)(Disposition::useCredential, platform::URLCredential::forTrust(trust));
            } else {
                (*sharedCompletion)(Disposition::cancelAuthenticationChallenge, std::nullopt);
            }
        });
        return;
    }
    // The caller's credential answers its own origin only, never one a redirect led to.
    std::optional<platform::URLCredential> credential;
    if (space.isProxy) {
        credential = proxyCredential_ ? proxyCredential_ : credential_;
    } else if (isForAuthorizedOriginUnsynchronized(space)) {
        credential = credential_;
    }
    lock.unlock();
    if (credential) {
        completion(Disposition::useCredential, credential);
    } else {
        completion(Disposition::performDefaultHandling, std::nullopt);
    }
}

void SessionFetcher::needNewBodyStream(const std::shared_ptr<platform::URLSession>&,
                                       const std::shared_ptr<platform::URLSessionTask>& task,
                                       BodyStreamCompletion completion) {
    setSessionTask(task);
    BodyStreamProvider provider = bodyStreamProvider();
    if (!provider) {
        completion(nullptr);
        return;
    }
    auto sharedCompletion = share(std::move(completion));
    invokeOnCallbackQueueUnlessStopped([provider, sharedCompletion] {
        provider([sharedCompletion](std::shared_ptr<platform::InputStream> stream) {
            (*sharedCompletion)(std::move(stream));
        });
    });
}

void SessionFetcher::didSendBodyData(const std::shared_ptr<platform::URLSession>&,
                                     const std::shared_ptr<platform::URLSessionTask>& task,
                                     std::int64_t bytesSent, std::int64_t totalBytesSent,
                                     std::int64_t totalBytesExpectedToSend) {
    setSessionTask(task);
    didSendBodyDataForUpload(bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

void SessionFetcher::didSendBodyDataForUpload(std::int64_t bytesSent, std::int64_t totalBytesSent,
                                              std::int64_t totalBytesExpectedToSend) {
    // The block is taken now: the fetch's completion releases the callbacks before calls queued ahead of
    // it run, and progress made before the completion must still reach the caller before it.
    auto block = sendProgressBlock();
    if (!block) return;
    invokeOnCallbackQueueUnlessStopped(
        [block = std::move(block), bytesSent, totalBytesSent, totalBytesExpectedToSend] {
            block(bytesSent, totalBytesSent, totalBytesExpectedToSend);
        });
}

void SessionFetcher::didReceiveData(const std::shared_ptr<platform::URLSession>&,
                                    const std::shared_ptr<platform::URLSessionDataTask>& task,
                                    const Data& data) {
    setSessionTask(task);
    if (data.empty()) return;
    std::unique_lock lock(mutex_);
    if (accumulateDataBlock_) {
        downloadedLength_ += static_cast<std::int64_t>(data.size());
        auto block = accumulateDataBlock_;
        lock.unlock();
        invokeOnCallbackQueueUnlessStopped([block, data] { block(data); });
        return;
    }
    if (userStoppedFetching_) return;
    if (!downloadedData_) downloadedData_ = Data{};
    if (downloadedData_->capacity() == 0) {
        // Room for the announced length at once, rather than regrowing (and copying) the buffer as it fills;
        // a length that lies costs no more than the session lets a body be.
        if (auto response = responseUnsynchronized(); response && response->expectedContentLength() > 0) {
            downloadedData_->reserve(static_cast<std::size_t>(
                std::min<std::int64_t>(response->expectedContentLength(),
                                       platform::URLSessionConfiguration::kDefaultMaximumDecodedBodyLength)));
        }
    }
    downloadedData_->insert(downloadedData_->end(), data.begin(), data.end());
    downloadedLength_ = static_cast<std::int64_t>(downloadedData_->size());
    if (receivedProgressBlock_) {
        // The block is taken now, as for upload progress; the total is read when the call runs.
        auto self = shared_from_this();
        auto block = receivedProgressBlock_;
        auto length = static_cast<std::int64_t>(data.size());
        lock.unlock();
        invokeOnCallbackQueueUnlessStopped([self, block = std::move(block), length] {
            std::int64_t total;
            {
                std::lock_guard innerLock(self->mutex_);
                total = self->downloadedLength_;
            }
            block(length, total);
        });
    }
}

void SessionFetcher::willCacheResponse(const std::shared_ptr<platform::URLSession>&,
                                       const std::shared_ptr<platform::URLSessionDataTask>& task,
                                       platform::CachedURLResponse proposed, CacheCompletion completion) {
    setSessionTask(task);
    WillCacheURLResponseBlock block = willCacheURLResponseBlock();
    if (!block) {
        completion(std::move(proposed));
        return;
    }
    auto sharedCompletion = share(std::move(completion));
    invokeOnCallbackQueueAfterUserStopped(true, [block, proposed, sharedCompletion] {
        block(proposed, [sharedCompletion](std::optional<platform::CachedURLResponse> response) {
            (*sharedCompletion)(std::move(response));
        });
    });
}

void SessionFetcher::didWriteData(const std::shared_ptr<platform::URLSession>&,
                                  const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                                  std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                  std::int64_t totalBytesExpectedToWrite) {
    setSessionTask(task);
    DownloadProgressBlock block = downloadProgressBlock();
    if (!block) return;
    if (totalBytesExpectedToWrite < totalBytesWritten)
        totalBytesExpectedToWrite = platform::kURLSessionTransferSizeUnknown;
    invokeOnCallbackQueueUnlessStopped([block, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite] {
        block(bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    });
}

void SessionFetcher::didResumeAtOffset(const std::shared_ptr<platform::URLSession>&,
                                       const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                                       std::int64_t, std::int64_t) {
    setSessionTask(task);
}

void SessionFetcher::didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>&,
                                               const std::shared_ptr<platform::URLSessionDownloadTask>& task,
                                               const URL& location) {
    setSessionTask(task);
    std::lock_guard lock(mutex_);
    std::error_code ec;
    auto temporaryPath = location.path();
    auto size = std::filesystem::file_size(temporaryPath, ec);
    downloadedLength_ = ec ? 0 : static_cast<std::int64_t>(size);
    int status = statusCodeUnsynchronized();
    if (destinationFileURL_) {
        std::filesystem::remove(destinationFileURL_->path(), ec);
    }
    if (status >= 200 && status <= 399) {
        if (destinationFileURL_) {
            if (auto error = internal::moveFile(temporaryPath, destinationFileURL_->path()))
                downloadFinishedError_ = error;
        }
    } else if (downloadedLength_ > 0 && downloadedLength_ <= kMaxDownloadErrorBodyLength) {
        downloadTaskErrorData_ = internal::readFile(temporaryPath);
    }
}

void SessionFetcher::didFinishCollectingMetrics(const std::shared_ptr<platform::URLSession>&,
                                                const std::shared_ptr<platform::URLSessionTask>& task,
                                                const platform::URLSessionTaskMetrics& metrics) {
    setSessionTask(task);
    MetricsCollectionBlock block = metricsCollectionBlock();
    if (block) invokeOnCallbackQueueUnlessStopped([block, metrics] { block(metrics); });
}

void SessionFetcher::didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                                          const std::shared_ptr<platform::URLSessionTask>& task,
                                          const std::optional<Error>& taskError) {
    auto keepAlive = shared_from_this();
    {
        std::unique_lock lock(mutex_);
        // A stale task of an earlier attempt has nothing more to say.
        if (sessionTask_ && sessionTask_ != task) return;
        if (isUsingTestBlock_ || (userStoppedFetching_ && !stopFetchingTriggersCompletionHandler_)) {
            // A simulated fetch ends by itself, and a stopped one has nothing more to deliver: only the
            // session that waited for this task is left to end.
            auto session = std::move(sessionNeedingInvalidation_);
            sessionNeedingInvalidation_.reset();
            lock.unlock();
            if (session) session->finishTasksAndInvalidate();
            sendStopNotificationIfNeeded();
            return;
        }
    }
    setSessionTask(task);
    int status = statusCode();
    bool cancelledByCaller;
    bool succeeded;
    std::optional<Error> error = taskError;
    bool forceAssumeRetry = false;
    std::shared_ptr<platform::URLSession> sessionToInvalidate;
    {
        std::lock_guard lock(mutex_);
        taskCompleted_ = true;
        cancelledByCaller = userStoppedFetching_ && stopFetchingTriggersCompletionHandler_;
        if (!error) error = downloadFinishedError_;
        succeeded = !error && status >= 0 && status <= 299;
        if (succeeded && !cancelledByCaller) bodyLength_ = task->countOfBytesSent();
        sessionToInvalidate = std::move(sessionNeedingInvalidation_);
        sessionNeedingInvalidation_.reset();
        if (!cancelledByCaller && !succeeded) {
            // A background session follows redirects by itself and loses "Authorization" on the way.
            auto response = responseUnsynchronized();
            if (status == 403 && usingBackgroundSession_ && response && request_ && request_->url() &&
                response->url() != *request_->url() &&
                request_->valueForHTTPHeaderField(internal::kAuthorizationField)) {
                request_->setURL(response->url());
                session_.reset();
                forceAssumeRetry = true;
            }
        }
    }
    if (sessionToInvalidate) sessionToInvalidate->finishTasksAndInvalidate();
    if (cancelledByCaller) {
        Dictionary info;
        info[std::string(platform::kLocalizedDescriptionKey)] = std::string(kOperationCancelledText);
        if (error) info[std::string(platform::kUnderlyingErrorKey)] = *error;
        finishWithError(fetcherError(SessionFetcherErrorCode::userCancelled, info), false);
        return;
    }
    if (succeeded) {
        finishWithError(std::nullopt, false);
        return;
    }
    shouldRetryNowForStatus(status, error, forceAssumeRetry, [keepAlive, error](bool shouldRetry) {
        keepAlive->finishWithError(error, shouldRetry);
    });
}

void SessionFetcher::didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                               const std::optional<Error>&) {
    std::lock_guard lock(mutex_);
    if (session == session_) session_.reset();
}

}  // namespace brisko::fetcher
