// URL session tasks: state read from any thread, controls handed to the network thread.
#include "platform/net/URLSessionTask.hpp"

#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform {

URLSessionTask::URLSessionTask(Kind kind, std::uint64_t identifier,
                               const std::shared_ptr<detail::SessionCore>& session)
    : kind_(kind), identifier_(identifier), session_(session) {}

URLSessionTask::~URLSessionTask() = default;

std::optional<URLRequest> URLSessionTask::originalRequest() const {
    std::lock_guard lock(mutex_);
    return originalRequest_;
}

std::optional<URLRequest> URLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_ ? currentRequest_ : originalRequest_;
}

std::shared_ptr<const HTTPURLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

std::optional<Error> URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

URLSessionTaskState URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return taskDescription_;
}

void URLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    taskDescription_ = std::move(description);
}

float URLSessionTask::priority() const {
    std::lock_guard lock(mutex_);
    return priority_;
}

void URLSessionTask::setPriority(float priority) {
    std::lock_guard lock(mutex_);
    priority_ = priority < 0 ? 0 : priority > 1 ? 1 : priority;
}

void URLSessionTask::resume() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::completed || state_ == URLSessionTaskState::canceling) return;
        state_ = URLSessionTaskState::running;
    }
    core_->resume(shared_from_this());
}

void URLSessionTask::suspend() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::running) return;
        state_ = URLSessionTaskState::suspended;
    }
    core_->suspend();
}

void URLSessionTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == URLSessionTaskState::completed || state_ == URLSessionTaskState::canceling) return;
        state_ = URLSessionTaskState::canceling;
    }
    core_->cancel(shared_from_this());
}

std::shared_ptr<URLSession> URLSessionTask::session() const {
    auto core = session_.lock();
    return core ? core->facade() : nullptr;
}

void URLSessionDownloadTask::cancelByProducingResumeData(
    UniqueFunction<void(std::optional<Data>)> completion) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != URLSessionTaskState::completed) state_ = URLSessionTaskState::canceling;
    }
    core_->cancelProducingResumeData(shared_from_this(), std::move(completion));
}

}  // namespace brisko::platform
