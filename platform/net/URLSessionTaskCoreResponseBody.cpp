// The response body of a hop: decoded, held (a redirect's, a challenge's, one awaiting the decision)
// or delivered to the completion, the delegate or the download file, within the session's maximum.
#include <cerrno>
#include <cstring>

#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

std::size_t TaskCore::writeCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    self->touch();
    return self->onBody(buffer, size * count);
}

std::size_t TaskCore::onBody(const char* data, std::size_t length) {
    if (abortError_) return 0;
    if (ignoringBody_) return length;
    const bool holding = redirectHop_ || authHop_;
    // libcurl hands a paused chunk over again later: nothing of it is decoded or taken before.
    if (!holding && responseDecision_ == Decision::pending) {
        pausedForDecision_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    auto take = [this, holding](const char* bytes, std::size_t n) {
        return holding ? holdBody(bytes, n) : deliverBody(bytes, n);
    };
    if (!decoder_) return take(data, length) ? length : 0;
    switch (decoder_->decode(data, length, take)) {
    case ContentDecoder::Result::ok:
        return length;
    case ContentDecoder::Result::stopped:
        return 0;
    case ContentDecoder::Result::corrupt:
        abortError_ = makeURLError(URLErrorCode::cannotDecodeContentData, current_.url(), decoder_->problem());
        return 0;
    }
    return 0;
}

bool TaskCore::fitsBodyLimit(std::int64_t taken, std::size_t length) {
    const auto& limit = core_->configuration.maximumDecodedBodyLength;
    if (!limit || static_cast<std::int64_t>(length) <= *limit - taken) return true;
    abortError_ =
        makeURLError(URLErrorCode::dataLengthExceedsMaximum, current_.url(),
                     format("the response body is larger than the session's maximum of %lld bytes", {*limit}));
    return false;
}

bool TaskCore::holdBody(const char* data, std::size_t length) {
    if (!fitsBodyLimit(static_cast<std::int64_t>(heldBody_.size()), length)) return false;
    heldBody_.insert(heldBody_.end(), data, data + length);
    return true;
}

bool TaskCore::deliverBody(const char* data, std::size_t length) {
    if (length == 0) return true;
    if (kind != URLSessionTask::Kind::download && !fitsBodyLimit(task_->bytesReceived_, length)) return false;
    task_->bytesReceived_ += static_cast<std::int64_t>(length);
    if (kind == URLSessionTask::Kind::download) {
        if (!downloadFile_ || std::fwrite(data, 1, length, downloadFile_) != length) {
            abortError_ = makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno));
            return false;
        }
        downloadWritten_ += static_cast<std::int64_t>(length);
        if (delegate_ && !hasCompletionHandler) {
            auto d = delegate_;
            auto session = session_;
            auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
            const std::int64_t written = resumeOffset_ + downloadWritten_;
            std::int64_t expected = expectedTotal_ >= 0 ? expectedTotal_ : kURLSessionTransferSizeUnknown;
            if (expected >= 0 && expected < written) expected = kURLSessionTransferSizeUnknown;
            emit([d, session, t, n = static_cast<std::int64_t>(length), written, expected] {
                d->didWriteData(session, t, n, written, expected);
            });
        }
        return true;
    }
    if (hasCompletionHandler) {
        collected_.insert(collected_.end(), data, data + length);
    } else if (delegate_) {
        auto d = delegate_;
        auto session = session_;
        auto t = std::static_pointer_cast<URLSessionDataTask>(task_);
        emit([d, session, t, chunk = Data(data, data + length)] { d->didReceiveData(session, t, chunk); });
    }
    return true;
}

// A held response (a 3xx not followed, a 401 not answered) and its body become the task's result.
void TaskCore::deliverHeldResponse() {
    redirectHop_ = false;
    authHop_ = false;
    onFinalHead();
    if (abortError_) {
        complete(*abortError_);
        return;
    }
    if (responseDecision_ == Decision::pending) {
        doneWhileDeciding_ = CURLE_OK;
        return;
    }
    Data body = std::move(heldBody_);
    heldBody_.clear();
    if (!deliverBody(reinterpret_cast<const char*>(body.data()), body.size())) {
        complete(*abortError_);
        return;
    }
    finishSuccess();
}

}  // namespace brisko::platform::detail
