// The request body a task sends: read from its file or its stream, and the upload progress it reports.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

std::size_t TaskCore::readCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    self->touch();
    const std::int64_t left = self->bodyFileSize_ - self->bodyFilePos_;
    if (self->bodyFd_ < 0 || left <= 0) return 0;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(size * count)));
    ssize_t n;
    do {
        n = ::pread(self->bodyFd_, buffer, want, self->bodyFileStart_ + self->bodyFilePos_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // The announced length cannot be sent any more: end the task instead of leaving the server waiting.
        self->abortError_ =
            n < 0 ? makeURLError(URLErrorCode::noPermissionsToReadFile, self->current_.url(), std::strerror(errno))
                  : makeURLError(URLErrorCode::resourceUnavailable, self->current_.url(),
                                 "the file ended before the length announced for it");
        return CURL_READFUNC_ABORT;
    }
    self->bodyFilePos_ += n;
    return static_cast<std::size_t>(n);
}

int TaskCore::seekCallback(void* userp, curl_off_t offset, int origin) {
    auto* self = static_cast<TaskCore*>(userp);
    if (self->bodyFd_ < 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    if (offset < 0 || offset > self->bodyFileSize_) return CURL_SEEKFUNC_FAIL;
    self->bodyFilePos_ = offset;
    return CURL_SEEKFUNC_OK;
}

std::optional<Error> TaskCore::openBodyFile(const std::string& path) {
    closeBodyFile();
    bodyFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (bodyFd_ >= 0) return std::nullopt;
    return makeURLError(errno == ENOENT ? URLErrorCode::fileDoesNotExist : URLErrorCode::noPermissionsToReadFile,
                        current_.url(), path);
}

void TaskCore::closeBodyFile() {
    if (bodyFd_ >= 0) ::close(bodyFd_);
    bodyFd_ = -1;
}

int TaskCore::progressCallback(void* userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* self = static_cast<TaskCore*>(userp);
    self->reportUploadProgress(self->bodyBytesSent(ulnow));
    return 0;
}

// libcurl counts a chunked body with its framing; the body's own bytes are those taken from the stream.
std::int64_t TaskCore::bodyBytesSent(curl_off_t uploaded) const {
    return bodyStream_ ? bodyStream_->taken() : static_cast<std::int64_t>(uploaded);
}

void TaskCore::reportUploadProgress(std::int64_t sent) {
    if (sent <= lastReportedSent_) return;
    touch();
    const std::int64_t delta = sent - lastReportedSent_;
    lastReportedSent_ = sent;
    task_->bytesSent_ = sent;
    if (!wantsProgress_) return;
    if (openProgress_ && openProgress_->add(delta, sent)) return;
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto progress = std::make_shared<PendingUploadProgress>(delta, sent);
    const std::int64_t expected = task_->bytesExpectedToSend_;
    emit([d, session, t, progress, expected] {
        auto [bytes, total] = progress->deliver();
        d->didSendBodyData(session, t, bytes, total, expected);
    });
    openProgress_ = std::move(progress);
}

// Streamed bodies: a stream is read once, so each later sending asks the delegate for a new one.

bool TaskCore::usesBodyStream() const {
    if (kind == URLSessionTask::Kind::upload && (uploadData || uploadFilePath)) return false;
    return streamedUpload || current_.httpBodyStream() != nullptr;
}

void TaskCore::requestBodyStream() {
    if (!delegate_) {
        complete(makeURLError(URLErrorCode::requestBodyStreamExhausted, current_.url(), "no body stream"));
        return;
    }
    awaitingBodyStream_ = true;
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto self = shared_from_this();
    emit([d, session, t, self] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        d->needNewBodyStream(session, t, [self, answered](std::shared_ptr<InputStream> stream) {
            if (answered->exchange(true)) return;
            postToNetwork([self, stream = std::move(stream)]() mutable { self->onBodyStream(std::move(stream)); });
        });
    });
}

void TaskCore::onBodyStream(std::shared_ptr<InputStream> stream) {
    if (completed_ || !awaitingBodyStream_) return;
    awaitingBodyStream_ = false;
    if (!stream) {
        complete(makeURLError(URLErrorCode::requestBodyStreamExhausted, current_.url(), "no body stream was given"));
        return;
    }
    nextBodyStream_ = std::move(stream);
    startHop();
}

void TaskCore::onBodyStreamReady(std::uint64_t hop) {
    if (completed_ || hop != hopNumber_ || !pausedForBody_) return;
    pausedForBody_ = false;
    applyPause();  // libcurl asks for the body again
}

std::size_t TaskCore::streamReadCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    if (!self->bodyStream_) return 0;
    auto taken = self->bodyStream_->take(buffer, size * count);
    switch (taken.state) {
    case URLSessionBodyStream::State::bytes:
        self->touch();
        return taken.count;
    case URLSessionBodyStream::State::end:
        return 0;
    case URLSessionBodyStream::State::wait:
        self->pausedForBody_ = true;
        return CURL_READFUNC_PAUSE;
    case URLSessionBodyStream::State::failed: {
        auto error = makeURLError(URLErrorCode::noPermissionsToReadFile, self->current_.url(),
                                  "the body stream could not be read");
        Dictionary info = error.userInfo();
        if (taken.error) info.emplace(std::string(kUnderlyingErrorKey), Value(*taken.error));
        self->abortError_ = Error(error.domain(), error.code(), std::move(info));
        return CURL_READFUNC_ABORT;
    }
    case URLSessionBodyStream::State::shortBody:
        self->abortError_ = makeURLError(URLErrorCode::requestBodyStreamExhausted, self->current_.url(),
                                         "the body stream ended before its Content-Length");
        return CURL_READFUNC_ABORT;
    }
    return CURL_READFUNC_ABORT;
}

// A stream cannot go back; only a body nothing was taken from yet can start over (libcurl asks when
// it sends a request again on a new connection).
int TaskCore::streamSeekCallback(void* userp, curl_off_t offset, int origin) {
    auto* self = static_cast<TaskCore*>(userp);
    if (self->bodyStream_ && origin == SEEK_SET && offset == 0 && self->bodyStream_->taken() == 0)
        return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

}  // namespace brisko::platform::detail
