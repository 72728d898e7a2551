// Tasks of a URL session: one transfer each (data, upload or download), its state and counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/base/Error.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform {

class URLSession;
namespace detail {
struct TaskCore;
class SessionCore;
}  // namespace detail

enum class URLSessionTaskState { running = 0, suspended = 1, canceling = 2, completed = 3 };

inline constexpr std::int64_t kURLSessionTransferSizeUnknown = -1;

// A task starts suspended; resume() starts it. Every accessor is safe from any thread. The task ends
// exactly once: the delegate's didCompleteWithError (or the completion handler) is its last event.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
  public:
    enum class Kind { data, upload, download };

    virtual ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    Kind kind() const { return kind_; }
    // Unique within the session.
    std::uint64_t taskIdentifier() const { return identifier_; }
    std::optional<URLRequest> originalRequest() const;
    // The request being sent now (after redirects).
    std::optional<URLRequest> currentRequest() const;
    std::shared_ptr<const HTTPURLResponse> response() const;
    // The error the task ended with, once it has ended.
    std::optional<Error> error() const;
    URLSessionTaskState state() const;

    std::int64_t countOfBytesSent() const { return bytesSent_.load(); }
    std::int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    // The body length, 0 without a body, kURLSessionTransferSizeUnknown when not known.
    std::int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
    std::int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    // 0.0 to 1.0, default 0.5; a hint only.
    float priority() const;
    void setPriority(float priority);

    // Starts a suspended task, or continues one suspended by suspend(). No effect once ended.
    void resume();
    // Stops moving data until resume(); a suspended task does not time out.
    void suspend();
    // Ends the task with error -999 (cancelled); completion still comes, exactly once.
    void cancel();

    // The session that made the task (nothing once the session is gone).
    std::shared_ptr<URLSession> session() const;

    // Tasks are made by URLSession's task factories.
    URLSessionTask(Kind kind, std::uint64_t identifier, const std::shared_ptr<detail::SessionCore>& session);

  private:
    friend class URLSession;
    friend class URLSessionDownloadTask;
    friend class detail::SessionCore;
    friend struct detail::TaskCore;

    const Kind kind_;
    const std::uint64_t identifier_;
    std::weak_ptr<detail::SessionCore> session_;
    mutable std::mutex mutex_;
    std::optional<URLRequest> originalRequest_;
    std::optional<URLRequest> currentRequest_;  // set once a redirect changed the request
    std::shared_ptr<const HTTPURLResponse> response_;
    std::optional<Error> error_;
    URLSessionTaskState state_ = URLSessionTaskState::suspended;
    std::string taskDescription_;
    float priority_ = 0.5f;
    std::atomic<std::int64_t> bytesSent_{0};
    std::atomic<std::int64_t> bytesReceived_{0};
    std::atomic<std::int64_t> bytesExpectedToSend_{0};
    std::atomic<std::int64_t> bytesExpectedToReceive_{kURLSessionTransferSizeUnknown};
    // The transfer machinery; owned by the session's network side, reached through the task.
    std::shared_ptr<detail::TaskCore> core_;
};

class URLSessionDataTask : public URLSessionTask {
  public:
    using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
  public:
    using URLSessionDataTask::URLSessionDataTask;
};

class URLSessionDownloadTask : public URLSessionTask {
  public:
    using URLSessionTask::URLSessionTask;
    // Cancels the task and hands the resume data to `completion` (nothing when the download cannot be
    // resumed: no validator or no bytes yet). The completion runs on the session's delegate queue,
    // before the task's didCompleteWithError (-999, with the resume data in the error's user info).
    void cancelByProducingResumeData(UniqueFunction<void(std::optional<Data>)> completion);
};

}  // namespace brisko::platform
