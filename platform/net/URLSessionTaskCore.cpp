// The network side of one task: its controls (resume, suspend, cancel), its start and its timeouts.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::steady_clock::duration seconds(double s) {
    if (s <= 0) s = 60;
    if (s > 1e8) s = 1e8;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

TaskCore::TaskCore(const std::shared_ptr<SessionCore>& session, URLSessionTask::Kind k)
    : sessionCore(session), kind(k) {}

TaskCore::~TaskCore() {
    if (easy_) curl_easy_cleanup(easy_);
    if (headerList_) curl_slist_free_all(headerList_);
    closeBodyFile();
    if (downloadFile_) std::fclose(downloadFile_);
}

// Controls

std::shared_ptr<URLSession> TaskCore::callerSession() const {
    auto core = sessionCore.lock();
    return core ? core->facade() : nullptr;
}

void TaskCore::resume(std::shared_ptr<URLSessionTask> task) {
    // Whether the session was already being invalidated is decided here, in the caller's order.
    auto core = sessionCore.lock();
    const bool refused = !core || core->invalidating();
    // What the delegate takes part in is asked here, never on the network thread.
    bool decides = true;
    bool metrics = true;
    bool progress = true;
    if (auto d = core ? core->delegate() : nullptr) {
        metrics = d->wantsMetrics(task);
        progress = d->wantsUploadProgress(task);
        if (!hasCompletionHandler && kind != URLSessionTask::Kind::download)
            decides = d->wantsResponseDecision(std::static_pointer_cast<URLSessionDataTask>(task));
    }
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession(), refused, decides,
                   metrics, progress]() mutable {
        if (!self->started_) {
            self->responseDecisionWanted_ = decides;
            self->metricsWanted_ = metrics;
            self->progressWanted_ = progress;
            self->start(std::move(task), std::move(session), refused);
        } else if (self->suspended_ && !self->completed_) {
            self->suspended_ = false;
            self->touch();
            self->applyPause();
        }
    });
}

void TaskCore::suspend() {
    postToNetwork([self = shared_from_this()] {
        if (!self->started_ || self->completed_ || self->suspended_) return;
        self->suspended_ = true;
        self->applyPause();
    });
}

void TaskCore::cancel(std::shared_ptr<URLSessionTask> task) {
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession()]() mutable {
        if (self->completed_) return;
        if (!self->started_ && !self->acquire(std::move(task), std::move(session))) return;
        self->stopTransfer();
        self->complete(makeURLError(URLErrorCode::cancelled, self->current_.url()));
    });
}

void TaskCore::cancelProducingResumeData(std::shared_ptr<URLSessionTask> task,
                                         UniqueFunction<void(std::optional<Data>)> completion) {
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession(),
                   completion = std::move(completion)]() mutable {
        auto deliver = [&](std::optional<Data> data) {
            auto run = [completion = std::move(completion), data = std::move(data)]() mutable {
                completion(std::move(data));
            };
            if (auto core = self->sessionCore.lock()) {
                core->deliver(std::move(run));
            } else {
                run();
            }
        };
        if (self->completed_) {
            deliver(std::nullopt);
            return;
        }
        if (!self->started_ && !self->acquire(std::move(task), std::move(session))) {
            deliver(std::nullopt);
            return;
        }
        self->stopTransfer();
        auto resumeData = self->makeResumeData();
        auto error = makeURLError(URLErrorCode::cancelled, self->current_.url());
        if (resumeData) {
            self->keepDownloadFile_ = true;
            Dictionary info = error.userInfo();
            info[std::string(kURLSessionDownloadTaskResumeData)] = Value(*resumeData);
            error = Error(error.domain(), error.code(), std::move(info));
        }
        // The resume data comes first, then the task's completion (both on the delegate queue).
        deliver(resumeData);
        self->complete(std::move(error));
    });
}

// Start

bool TaskCore::acquire(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session) {
    started_ = true;
    core_ = sessionCore.lock();
    task_ = std::move(task);
    if (!core_ || !task_) {
        completed_ = true;
        core_.reset();
        task_.reset();
        return false;
    }
    session_ = std::move(session);
    delegate_ = core_->delegate();
    core_->taskStarted();
    if (delegate_ && metricsWanted_) {
        taskStart_ = Clock::now();
        metrics_.taskIntervalStart = now();
    }
    // The request moves into the transfer: the task object keeps the original (resume data reads it there).
    current_ = std::move(originalRequest);
    return true;
}

void TaskCore::start(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session, bool refused) {
    if (!acquire(std::move(task), std::move(session))) return;
    updateTaskState(URLSessionTaskState::running);
    if (!session_ || refused || core_->invalidated()) {
        complete(makeURLError(URLErrorCode::cancelled, current_.url(), "the session was invalidated"));
        return;
    }
    if (kind == URLSessionTask::Kind::download && resumeData && !parseResumeData()) {
        complete(makeURLError(URLErrorCode::badURL, std::nullopt, "the resume data cannot be read"));
        return;
    }
    idleTimeout_ = seconds(current_.timeoutInterval() > 0 ? current_.timeoutInterval()
                                                          : core_->configuration.timeoutIntervalForRequest);
    resourceDeadline_ = Clock::now() + seconds(core_->configuration.timeoutIntervalForResource);
    touch();
    if (uploadFilePath) {
        if (auto error = openBodyFile(*uploadFilePath)) {
            complete(std::move(error));
            return;
        }
        if (uploadFileLength) {
            struct stat st {};
            const std::int64_t size = fstat(bodyFd_, &st) == 0 ? st.st_size : 0;
            if (uploadFileOffset < 0 || *uploadFileLength < 0 || uploadFileOffset > size ||
                *uploadFileLength > size - uploadFileOffset) {
                complete(makeURLError(
                    URLErrorCode::resourceUnavailable, current_.url(),
                    format("bytes %lld to %lld lie beyond the end of %@ (%lld bytes)",
                           {uploadFileOffset, uploadFileOffset + *uploadFileLength, *uploadFilePath, size})));
                return;
            }
            bodyFileStart_ = uploadFileOffset;
            bodyFileSize_ = *uploadFileLength;
        }
    }
    if (kind == URLSessionTask::Kind::download && !openDownloadFile(resumeOffset_ > 0)) {
        complete(makeURLError(URLErrorCode::cannotCreateFile, current_.url(), std::strerror(errno)));
        return;
    }
    armTimers();
    startHop();
}

// Timers: one per task, re-armed to the nearest of the idle and the total deadline.

// Read on every header line and body chunk: the coarse monotonic clock (the time of the last tick, on
// steady_clock's scale) costs no counter read, and an idle timeout does not notice its few milliseconds.
void TaskCore::touch() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    lastActivity_ = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

void TaskCore::armTimers() {
    auto& loop = NetworkLoop::instance();
    if (timer_) loop.cancel(timer_);
    const auto deadline = std::min(lastActivity_ + idleTimeout_, resourceDeadline_);
    timer_ = loop.schedule(deadline, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->timer_ = 0;
            self->checkTimers();
        }
    });
}

void TaskCore::checkTimers() {
    if (completed_) return;
    const auto t = Clock::now();
    if (suspended_) touch();  // a suspended task is not subject to timeouts
    if (t >= resourceDeadline_) {
        stopTransfer();
        complete(makeURLError(URLErrorCode::timedOut, current_.url(), "the resource timeout passed"));
        return;
    }
    if (t - lastActivity_ >= idleTimeout_) {
        stopTransfer();
        const double s = std::chrono::duration<double>(idleTimeout_).count();
        complete(makeURLError(URLErrorCode::timedOut, current_.url(), format("no data moved for %g seconds", {s})));
        return;
    }
    armTimers();
}

}  // namespace brisko::platform::detail
