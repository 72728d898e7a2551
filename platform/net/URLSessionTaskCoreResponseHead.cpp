// The response head of a hop: status line and fields as libcurl hands them over, the response made of
// them, and the delegate's decision on it.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"
#include "platform/net/WWWAuthenticate.hpp"

namespace brisko::platform::detail {

namespace {

// Room made for a response head's fields at once (most heads have fewer).
constexpr std::size_t kExpectedHeaderFields = 12;

// "bytes 100-999/1000": the first byte and the total (-1 when "*").
std::optional<std::pair<std::int64_t, std::int64_t>> parseContentRange(std::string_view v) {
    v = trimHTTPWhitespace(v);
    if (v.substr(0, 6) != "bytes ") return std::nullopt;
    v.remove_prefix(6);
    auto dash = v.find('-');
    auto slash = v.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
    std::int64_t first = 0, total = -1;
    auto f = v.substr(0, dash);
    if (std::from_chars(f.data(), f.data() + f.size(), first).ec != std::errc()) return std::nullopt;
    auto t = v.substr(slash + 1);
    if (t != "*" && std::from_chars(t.data(), t.data() + t.size(), total).ec != std::errc()) return std::nullopt;
    return std::make_pair(first, total);
}

}  // namespace

// libcurl hands over each line of each head (1xx, final, and trailers), on the network thread.
std::size_t TaskCore::headerCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    const std::size_t n = size * count;
    self->touch();
    self->onHeaderLine(std::string_view(buffer, n));
    return self->abortError_ ? 0 : n;
}

void TaskCore::onHeaderLine(std::string_view raw) {
    std::string_view line = raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        // A status line starts a response head (a 1xx one or the final one).
        headers_.clear();
        headers_.reserve(kExpectedHeaderFields);
        ignoringBody_ = false;
        inHead_ = true;
        auto sp = line.find(' ');
        httpVersion_ = std::string(line.substr(0, sp));
        int code = 0;
        if (sp != std::string_view::npos) {
            auto rest = line.substr(sp + 1);
            auto end = rest.find(' ');
            auto digits = rest.substr(0, end);
            if (std::from_chars(digits.data(), digits.data() + digits.size(), code).ec != std::errc()) code = 0;
        }
        if (code < 100 || code > 999) {
            abortError_ = makeURLError(URLErrorCode::cannotParseResponse, current_.url(), "bad status line");
            return;
        }
        statusCode_ = code;
        return;
    }
    if (!inHead_) return;  // trailers
    if (line.empty()) {
        inHead_ = false;
        if (statusCode_ >= 100 && statusCode_ < 200) return;  // interim response
        // Lengths that disagree leave the body's end unknown: the message cannot be trusted.
        if (auto length = headers_.get("Content-Length"); length && !parseContentLength(*length)) {
            abortError_ = makeURLError(URLErrorCode::cannotParseResponse, current_.url(),
                                       "the response's Content-Length is not one length");
            return;
        }
        if (statusCode_ == 401 && digestNegotiating_) {
            // libcurl's first Digest round trip learns the nonce and answers it itself.
            for (auto& offer : parseAuthenticate(headers_.get("WWW-Authenticate").value_or(""))) {
                if (offer.scheme != "digest") continue;
                digestNegotiating_ = false;
                ignoringBody_ = true;
                return;
            }
        }
        onHeadComplete();
        return;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !headers_.empty()) {
        // An obsolete folded line continues the previous field.
        auto fields = headers_.fields();
        auto last = fields.back();
        headers_.remove(last.first);
        for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
            if (equalsIgnoringASCIICase(fields[i].first, last.first)) headers_.add(fields[i].first, fields[i].second);
        }
        headers_.add(last.first, last.second + " " + std::string(trimHTTPWhitespace(line)));
        return;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;  // not a field: ignored, as browsers do
    headers_.add(trimHTTPWhitespace(line.substr(0, colon)), trimHTTPWhitespace(line.substr(colon + 1)));
}

void TaskCore::onHeadComplete() {
    // Every upload progress event comes before the response.
    if (sendsBody_) {
        curl_off_t sent = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK)
            reportUploadProgress(bodyBytesSent(sent));
    }
    // The head's fields move into the response; the next head (a redirect's) starts from none.
    auto response = std::make_shared<const HTTPURLResponse>(*current_.url(), statusCode_, std::move(httpVersion_),
                                                            std::move(headers_));
    httpVersion_.clear();
    headers_.clear();
    response_ = response;
    decoder_ = ContentDecoder::forContentEncoding(response->valueForHTTPHeaderField("Content-Encoding").value_or(""));
    const auto& config = core_->configuration;
    if (config.httpCookieStorage && config.httpShouldSetCookies && current_.httpShouldHandleCookies()) {
        config.httpCookieStorage->storeCookiesFromResponse(*response, current_);
    }
    const bool redirectStatus =
        statusCode_ == 301 || statusCode_ == 302 || statusCode_ == 303 || statusCode_ == 307 || statusCode_ == 308;
    if (redirectStatus && response->allHeaderFields().contains("Location")) {
        redirectHop_ = true;
        return;
    }
    if (isAuthChallenge()) return;
    onFinalHead();
}

void TaskCore::onFinalHead() {
    {
        std::lock_guard lock(task_->mutex_);
        task_->response_ = response_;
    }
    task_->bytesExpectedToReceive_ = response_->expectedContentLength();
    if (hasCompletionHandler && kind != URLSessionTask::Kind::download && response_->expectedContentLength() > 0) {
        // The whole body is collected: room for the announced length (within the limit) at once.
        const auto& limit = core_->configuration.maximumDecodedBodyLength;
        collected_.reserve(static_cast<std::size_t>(limit ? std::min(response_->expectedContentLength(), *limit)
                                                          : response_->expectedContentLength()));
    }
    auto session = session_;
    auto d = delegate_;
    if (kind == URLSessionTask::Kind::download) {
        etag_ = response_->valueForHTTPHeaderField("ETag");
        lastModified_ = response_->valueForHTTPHeaderField("Last-Modified");
        expectedTotal_ = response_->expectedContentLength();
        if (resumeData) {
            std::int64_t offset = 0;
            if (statusCode_ == 206 && resumeOffset_ > 0) {
                auto range = parseContentRange(response_->valueForHTTPHeaderField("Content-Range").value_or(""));
                if (range && range->first == resumeOffset_) {
                    offset = resumeOffset_;
                    expectedTotal_ = range->second;
                }
            }
            if (offset == 0) {
                // The server sends everything again: start the file over.
                resumeOffset_ = 0;
                if (!openDownloadFile(false)) {
                    abortError_ = makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno));
                    return;
                }
            }
            if (d && !hasCompletionHandler) {
                auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
                emit([d, session, t, offset, total = expectedTotal_] {
                    d->didResumeAtOffset(session, t, offset, total);
                });
            }
        }
        return;
    }
    if (d && !hasCompletionHandler && responseDecisionWanted_) {
        responseDecision_ = Decision::pending;
        auto t = std::static_pointer_cast<URLSessionDataTask>(task_);
        auto self = shared_from_this();
        emit([d, session, t, response = response_, self] {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            d->didReceiveResponse(session, t, response, [self, answered](URLSessionResponseDisposition disposition) {
                if (answered->exchange(true)) return;
                postToNetwork([self, disposition] { self->onResponseDecision(disposition); });
            });
        });
    }
}

void TaskCore::onResponseDecision(URLSessionResponseDisposition disposition) {
    if (completed_ || responseDecision_ != Decision::pending) return;
    responseDecision_ = Decision::done;
    switch (disposition) {
    case URLSessionResponseDisposition::cancel:
        stopTransfer();
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    case URLSessionResponseDisposition::becomeDownload: {
        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task_);
        auto download = std::make_shared<URLSessionDownloadTask>(URLSessionTask::Kind::download,
                                                                 core_->nextTaskIdentifier(), core_);
        download->core_ = shared_from_this();
        {
            std::lock_guard lock(task_->mutex_);
            download->originalRequest_ = task_->originalRequest_;
            download->currentRequest_ = current_;
            download->response_ = response_;
            download->state_ = URLSessionTaskState::running;
        }
        core_->registerTask(download);
        kind = URLSessionTask::Kind::download;
        if (!openDownloadFile(false)) {
            stopTransfer();
            complete(makeURLError(URLErrorCode::cannotCreateFile, current_.url(), std::strerror(errno)));
            return;
        }
        {
            // The data task ends here without events of its own; the download task goes on.
            std::lock_guard lock(dataTask->mutex_);
            dataTask->state_ = URLSessionTaskState::completed;
        }
        core_->unregisterTask(dataTask.get());
        task_ = download;
        auto d = delegate_;
        auto session = session_;
        emit([d, session, dataTask, download] { d->didBecomeDownloadTask(session, dataTask, download); });
        break;
    }
    case URLSessionResponseDisposition::allow:
    case URLSessionResponseDisposition::becomeStream:
        break;
    }
    continueAfterDecision();
}

void TaskCore::continueAfterDecision() {
    if (!heldBody_.empty()) {
        Data body = std::move(heldBody_);
        heldBody_.clear();
        if (!deliverBody(reinterpret_cast<const char*>(body.data()), body.size())) {
            stopTransfer();
            complete(*abortError_);
            return;
        }
    }
    if (doneWhileDeciding_) {
        auto rc = *doneWhileDeciding_;
        doneWhileDeciding_.reset();
        onTransferDone(rc);
        return;
    }
    if (pausedForDecision_) {
        pausedForDecision_ = false;
        applyPause();  // libcurl hands over the chunk it kept
    }
}

}  // namespace brisko::platform::detail
