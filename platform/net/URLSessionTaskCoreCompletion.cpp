// The end of a transfer and of a task: libcurl's result, the error it maps to, metrics, and the events
// that carry the outcome.
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/base/Clock.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

constexpr int kMaxTrustChallenges = 3;

using Clock = std::chrono::steady_clock;

}  // namespace

void TaskCore::onTransferDone(CURLcode rc) {
    auto keep = shared_from_this();
    inMulti_ = false;
    if (completed_) return;
    if (rc == CURLE_OK && !abortError_ && responseDecision_ == Decision::pending) {
        doneWhileDeciding_ = rc;
        return;
    }
    if (easy_) {
        if (delegate_ && metricsWanted_) collectMetrics();
        curl_off_t sent = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK)
            task_->bytesSent_ = bodyBytesSent(sent);
    }
    if (abortError_) {
        complete(*abortError_);
        return;
    }
    if (rc != CURLE_OK) {
        if (untrustedTrust_) {
            auto trust = untrustedTrust_;
            untrustedTrust_.reset();
            if (delegate_ && trustChallenges_ < kMaxTrustChallenges) {
                pendingChallengeTrust_ = trust;
                releaseHop();
                issueChallenge(trust, true);
                return;
            }
            std::optional<Error> reason;
            trust->evaluate(&reason);
            complete(*reason);
            return;
        }
        complete(transportError(rc));
        return;
    }
    if (inHead_ || statusCode_ < 200) {
        // libcurl takes a connection closed inside the response head for the end of a response.
        complete(makeURLError(URLErrorCode::networkConnectionLost, current_.url(),
                              "the connection closed before the end of the response head"));
        return;
    }
    if (decoder_ && decoder_->isTruncated()) {
        // The connection ended where the server said the body did, but the compressed stream had not.
        complete(makeURLError(URLErrorCode::networkConnectionLost, current_.url(),
                              "the compressed body ends before the end of its stream"));
        return;
    }
    if (redirectHop_) {
        onRedirect();
        return;
    }
    if (authHop_) {
        onAuthChallenge();
        return;
    }
    finishSuccess();
}

void TaskCore::finishSuccess() {
    releaseHop();
    if (kind == URLSessionTask::Kind::download) {
        if (downloadFile_) {
            const bool flushed = std::fflush(downloadFile_) == 0;
            std::fclose(downloadFile_);
            downloadFile_ = nullptr;
            if (!flushed) {
                complete(makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno)));
                return;
            }
        }
        if (delegate_ && !hasCompletionHandler) {
            auto d = delegate_;
            auto session = session_;
            auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
            auto location = URL::fileURLWithPath(downloadPath_);
            emit([d, session, t, location, path = downloadPath_] {
                d->didFinishDownloadingToURL(session, t, location);
                std::error_code ec;
                std::filesystem::remove(path, ec);
            });
            downloadDelivered_ = true;
        }
    }
    complete(std::nullopt);
}

void TaskCore::complete(std::optional<Error> error) {
    if (completed_) return;
    completed_ = true;
    auto keep = shared_from_this();
    if (timer_) {
        NetworkLoop::instance().cancel(timer_);
        timer_ = 0;
    }
    releaseHop();
    closeBodyFile();
    nextBodyStream_.reset();
    awaitingBodyStream_ = false;
    if (downloadFile_) {
        std::fclose(downloadFile_);
        downloadFile_ = nullptr;
    }
    if (!task_) return;  // never started and nothing to report to

    if (kind == URLSessionTask::Kind::download && error && !isURLError(error, URLErrorCode::cancelled)) {
        // A transfer that broke off can go on later from where it stopped.
        if (auto resume = makeResumeData()) {
            keepDownloadFile_ = true;
            Dictionary info = error->userInfo();
            info[std::string(kURLSessionDownloadTaskResumeData)] = Value(*resume);
            error = Error(error->domain(), error->code(), std::move(info));
        }
    }
    const bool removeFile = kind == URLSessionTask::Kind::download && !downloadPath_.empty() && !keepDownloadFile_ &&
                            !downloadDelivered_ && (error || !hasCompletionHandler);
    if (removeFile) {
        std::error_code ec;
        std::filesystem::remove(downloadPath_, ec);
    }
    {
        std::lock_guard lock(task_->mutex_);
        task_->state_ = URLSessionTaskState::completed;
        task_->error_ = error;
        if (response_ && !task_->response_) task_->response_ = response_;
    }
    openGate();
    auto session = session_;
    auto d = delegate_;
    auto t = task_;
    if (d && !metrics_.transactionMetrics.empty()) {
        metrics_.taskIntervalDuration = std::chrono::duration<double>(Clock::now() - taskStart_).count();
        emit([d, session, t, metrics = std::move(metrics_)] { d->didFinishCollectingMetrics(session, t, metrics); });
    }
    auto response = response_;
    if (hasCompletionHandler) {
        if (kind == URLSessionTask::Kind::download && downloadCompletion) {
            std::optional<URL> location;
            if (!error) location = URL::fileURLWithPath(downloadPath_);
            emit([cb = std::move(downloadCompletion), location, response, error,
                  path = error ? std::string() : downloadPath_]() mutable {
                cb(location, response, error);
                if (!path.empty()) {
                    std::error_code ec;
                    std::filesystem::remove(path, ec);
                }
            });
        } else if (dataCompletion) {
            std::optional<Data> body;
            if (!error) body = std::move(collected_);
            Event run = [cb = std::move(dataCompletion), body = std::move(body), response, error]() mutable {
                cb(std::move(body), response, error);
            };
            if (completionPassesOn && !d) {
                run();
            } else {
                emit(std::move(run));
            }
        }
    } else if (d) {
        emit([d, session, t, error] { d->didCompleteWithError(session, t, error); });
    }
    core_->unregisterTask(task_.get());
    core_->taskFinished(session);
    task_.reset();
    session_.reset();
    delegate_.reset();
    core_.reset();
}

void TaskCore::emit(Event event) {
    openProgress_.reset();  // progress after this event must come after it
    if (gated_) {
        held_.push_back(std::move(event));
        return;
    }
    emitUngated(std::move(event));
}

void TaskCore::emitUngated(Event event) {
    openProgress_.reset();
    auto core = core_ ? core_ : sessionCore.lock();
    if (core) core->deliver(std::move(event));
}

void TaskCore::openGate() {
    gated_ = false;
    for (auto& e : held_) emitUngated(std::move(e));
    held_.clear();
}

void TaskCore::updateTaskState(URLSessionTaskState state) {
    std::lock_guard lock(task_->mutex_);
    if (task_->state_ != URLSessionTaskState::completed) task_->state_ = state;
}

void TaskCore::collectMetrics() {
    URLSessionTaskTransactionMetrics m;
    m.request = current_;
    m.response = response_;
    m.fetchStartDate = hopStartDate_;
    m.responseEndDate = now();
    curl_off_t lookup = 0, connect = 0, tls = 0, firstByte = 0;
    curl_easy_getinfo(easy_, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
    curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(easy_, CURLINFO_APPCONNECT_TIME_T, &tls);
    curl_easy_getinfo(easy_, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
    auto seconds = [](curl_off_t us) { return static_cast<double>(us) / 1e6; };
    m.domainLookupDuration = seconds(lookup);
    m.connectDuration = connect > lookup ? seconds(connect - lookup) : 0;
    m.secureConnectionDuration = tls > connect ? seconds(tls - connect) : 0;
    m.timeToFirstByte = seconds(firstByte);
    long connects = 0;
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
    m.isReusedConnection = connects == 0;
    long version = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version);
    m.networkProtocolName = version == CURL_HTTP_VERSION_2_0 ? "h2"
                            : version == CURL_HTTP_VERSION_3 ? "h3"
                                                             : "http/1.1";
    char* ip = nullptr;
    if (curl_easy_getinfo(easy_, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip && *ip) m.remoteAddress = ip;
    long port = 0;
    if (curl_easy_getinfo(easy_, CURLINFO_PRIMARY_PORT, &port) == CURLE_OK && port > 0)
        m.remotePort = static_cast<int>(port);
    metrics_.transactionMetrics.push_back(std::move(m));
}

Error TaskCore::transportError(CURLcode rc) const {
    URLErrorCode code = URLErrorCode::unknown;
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        code = URLErrorCode::timedOut;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        code = URLErrorCode::cannotFindHost;
        break;
    case CURLE_COULDNT_CONNECT: {
        long osErrno = 0;
        if (easy_) curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
        code = (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? URLErrorCode::notConnectedToInternet
                                                               : URLErrorCode::cannotConnectToHost;
        break;
    }
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        code = URLErrorCode::networkConnectionLost;
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        code = URLErrorCode::secureConnectionFailed;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        code = URLErrorCode::serverCertificateUntrusted;
        break;
    case CURLE_SSL_CERTPROBLEM:
        code = URLErrorCode::clientCertificateRejected;
        break;
    case CURLE_TOO_MANY_REDIRECTS:
        code = URLErrorCode::httpTooManyRedirects;
        break;
    case CURLE_URL_MALFORMAT:
        code = URLErrorCode::badURL;
        break;
    // Schemes are checked before a transfer starts: here it means a reply that is not HTTP
    // (libcurl refuses HTTP/0.9).
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
        code = URLErrorCode::cannotParseResponse;
        break;
    case CURLE_BAD_CONTENT_ENCODING:
        code = URLErrorCode::cannotDecodeContentData;
        break;
    case CURLE_FILESIZE_EXCEEDED:
        code = URLErrorCode::dataLengthExceedsMaximum;
        break;
    case CURLE_READ_ERROR:
        code = URLErrorCode::noPermissionsToReadFile;
        break;
    case CURLE_SEND_FAIL_REWIND:
        code = URLErrorCode::requestBodyStreamExhausted;
        break;
    case CURLE_WRITE_ERROR:
        code = URLErrorCode::cannotWriteToFile;
        break;
    default:
        code = URLErrorCode::badServerResponse;
        break;
    }
    std::string detail = errorBuffer_[0] ? std::string(errorBuffer_) : std::string(curl_easy_strerror(rc));
    auto error = makeURLError(code, current_.url(), detail);
    Dictionary info = error.userInfo();
    info.emplace(std::string(kUnderlyingErrorKey),
                 Value(Error(std::string(kCurlErrorDomain), static_cast<int>(rc),
                             {{std::string(kLocalizedDescriptionKey), Value(curl_easy_strerror(rc))}})));
    return Error(error.domain(), error.code(), std::move(info));
}

}  // namespace brisko::platform::detail
