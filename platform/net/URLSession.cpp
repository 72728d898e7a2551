// URL sessions: task factories, invalidation and the shared session.
#include "platform/net/URLSession.hpp"

#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform {

namespace {
constexpr std::string_view kSharedDelegateQueueLabel = "com.brisko.URLSession.shared";
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
    std::shared_ptr<DispatchQueue> delegateQueue) {
    auto session = std::shared_ptr<URLSession>(new URLSession);
    session->core_ = std::make_shared<detail::SessionCore>(std::move(configuration), std::move(delegate),
                                                           std::move(delegateQueue), false);
    session->core_->setFacade(session);
    return session;
}

std::shared_ptr<URLSession> URLSession::shared() {
    static const std::shared_ptr<URLSession> instance = [] {
        auto session = std::shared_ptr<URLSession>(new URLSession);
        session->core_ = std::make_shared<detail::SessionCore>(
            URLSessionConfiguration::defaultSessionConfiguration(), nullptr,
            DispatchQueue::make(std::string(kSharedDelegateQueueLabel)), true);
        session->core_->setFacade(session);
        return session;
    }();
    return instance;
}

const std::shared_ptr<DispatchQueue>& URLSession::networkQueue() {
    static const auto queue =
        DispatchQueue::on("com.brisko.network", detail::NetworkLoop::instance().executor());
    return queue;
}

URLSession::~URLSession() {
    if (core_) core_->shutdown();
}

const URLSessionConfiguration& URLSession::configuration() const {
    return core_->configuration;
}
std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    return core_->delegate();
}
const std::shared_ptr<DispatchQueue>& URLSession::delegateQueue() const {
    return core_->delegateQueue;
}
std::string URLSession::sessionDescription() const {
    return core_->description();
}
void URLSession::setSessionDescription(std::string description) {
    core_->setDescription(std::move(description));
}

namespace {

// Hands a task's end to a completion handler instead of the delegate.
template <class T>
std::shared_ptr<T> withCompletion(const std::shared_ptr<detail::SessionCore>& core, std::shared_ptr<T> task,
                                  URLSession::DataCompletion completion) {
    auto& tc = core->taskCore(*task);
    tc.dataCompletion = std::move(completion);
    tc.hasCompletionHandler = true;
    return task;
}

template <class T>
std::shared_ptr<T> withCompletion(const std::shared_ptr<detail::SessionCore>& core, std::shared_ptr<T> task,
                                  URLSession::DownloadCompletion completion) {
    auto& tc = core->taskCore(*task);
    tc.downloadCompletion = std::move(completion);
    tc.hasCompletionHandler = true;
    return task;
}

template <class T>
std::shared_ptr<T> makeTask(const std::shared_ptr<detail::SessionCore>& core, URLSessionTask::Kind kind,
                            std::optional<URLRequest> request) {
    auto task = std::make_shared<T>(kind, core->nextTaskIdentifier(), core);
    core->attach(task, std::move(request));
    return task;
}

}  // namespace

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(URLRequest request) {
    return makeTask<URLSessionDataTask>(core_, URLSessionTask::Kind::data, std::move(request));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(URLRequest request,
                                                                    DataCompletion completion) {
    return withCompletion(core_, dataTaskWithRequest(std::move(request)), std::move(completion));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(URL url) {
    return dataTaskWithRequest(URLRequest(std::move(url)));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(URL url, DataCompletion completion) {
    return dataTaskWithRequest(URLRequest(std::move(url)), std::move(completion));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request, Data bodyData) {
    auto task = makeTask<URLSessionUploadTask>(core_, URLSessionTask::Kind::upload, std::move(request));
    core_->taskCore(*task).uploadData = std::make_shared<const Data>(std::move(bodyData));
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request, Data bodyData,
                                                                        DataCompletion completion) {
    return withCompletion(core_, uploadTaskWithRequest(std::move(request), std::move(bodyData)),
                          std::move(completion));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(URLRequest request) {
    auto task = makeTask<URLSessionUploadTask>(core_, URLSessionTask::Kind::upload, std::move(request));
    core_->taskCore(*task).streamedUpload = true;
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request,
                                                                        const URL& fileURL) {
    auto task = makeTask<URLSessionUploadTask>(core_, URLSessionTask::Kind::upload, std::move(request));
    core_->taskCore(*task).uploadFilePath = fileURL.path();
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request,
                                                                        const URL& fileURL,
                                                                        DataCompletion completion) {
    return withCompletion(core_, uploadTaskWithRequest(std::move(request), fileURL), std::move(completion));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request, const URL& fileURL,
                                                                        std::int64_t offset, std::int64_t length) {
    auto task = uploadTaskWithRequest(std::move(request), fileURL);
    auto& tc = core_->taskCore(*task);
    tc.uploadFileOffset = offset;
    tc.uploadFileLength = length;
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(URLRequest request, const URL& fileURL,
                                                                        std::int64_t offset, std::int64_t length,
                                                                        DataCompletion completion) {
    return withCompletion(core_, uploadTaskWithRequest(std::move(request), fileURL, offset, length),
                          std::move(completion));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(URLRequest request) {
    return makeTask<URLSessionDownloadTask>(core_, URLSessionTask::Kind::download, std::move(request));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(URLRequest request,
                                                                            DownloadCompletion completion) {
    return withCompletion(core_, downloadTaskWithRequest(std::move(request)), std::move(completion));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(URL url) {
    return downloadTaskWithRequest(URLRequest(std::move(url)));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(Data resumeData) {
    auto task = makeTask<URLSessionDownloadTask>(core_, URLSessionTask::Kind::download, std::nullopt);
    core_->taskCore(*task).resumeData = std::move(resumeData);
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(
    Data resumeData, DownloadCompletion completion) {
    return withCompletion(core_, downloadTaskWithResumeData(std::move(resumeData)), std::move(completion));
}

namespace {

// Starts a task whose completion resumes a coroutine. That completion only posts the outcome to the
// coroutine's own executor, so it may run where the task ends instead of on the delegate queue.
template <class T>
void startForCoroutine(const std::shared_ptr<detail::SessionCore>& core, const std::shared_ptr<T>& task) {
    core->taskCore(*task).completionPassesOn = true;
    task->resume();
}

// Resumes a coroutine from a data task's completion: the result, or the transport error thrown.
URLSession::DataCompletion resumeWith(Continuation<URLSession::DataResult> c) {
    return [c](std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response,
               std::optional<Error> error) mutable {
        if (error) {
            c.resumeThrowing(*error);
        } else {
            c.resume(URLSession::DataResult{data ? std::move(*data) : Data(), std::move(response)});
        }
    };
}

}  // namespace

Task<URLSession::DataResult> URLSession::data(URLRequest request) {
    auto self = shared_from_this();
    co_return co_await withContinuation<DataResult>(
        [self, request = std::move(request)](Continuation<DataResult> c) mutable {
            startForCoroutine(self->core_, self->dataTaskWithRequest(std::move(request), resumeWith(std::move(c))));
        });
}

Task<URLSession::DataResult> URLSession::upload(URLRequest request, Data bodyData) {
    auto self = shared_from_this();
    co_return co_await withContinuation<DataResult>([self, request = std::move(request),
                                                     body = std::move(bodyData)](
                                                        Continuation<DataResult> c) mutable {
        startForCoroutine(self->core_,
                          self->uploadTaskWithRequest(std::move(request), std::move(body), resumeWith(std::move(c))));
    });
}

void URLSession::getAllTasksWithCompletionHandler(
    UniqueFunction<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
    core_->delegateQueue->async(
        [core = core_, completion = std::move(completion)]() mutable { completion(core->liveTasks()); });
}

void URLSession::getTasksWithCompletionHandler(
    UniqueFunction<void(std::vector<std::shared_ptr<URLSessionDataTask>>,
                        std::vector<std::shared_ptr<URLSessionUploadTask>>,
                        std::vector<std::shared_ptr<URLSessionDownloadTask>>)>
        completion) {
    core_->delegateQueue->async([core = core_, completion = std::move(completion)]() mutable {
        std::vector<std::shared_ptr<URLSessionDataTask>> data;
        std::vector<std::shared_ptr<URLSessionUploadTask>> uploads;
        std::vector<std::shared_ptr<URLSessionDownloadTask>> downloads;
        for (auto& t : core->liveTasks()) {
            switch (t->kind()) {
                case URLSessionTask::Kind::data:
                    data.push_back(std::static_pointer_cast<URLSessionDataTask>(t));
                    break;
                case URLSessionTask::Kind::upload:
                    uploads.push_back(std::static_pointer_cast<URLSessionUploadTask>(t));
                    break;
                case URLSessionTask::Kind::download:
                    downloads.push_back(std::static_pointer_cast<URLSessionDownloadTask>(t));
                    break;
            }
        }
        completion(std::move(data), std::move(uploads), std::move(downloads));
    });
}

void URLSession::finishTasksAndInvalidate() {
    core_->finishTasksAndInvalidate();
}
void URLSession::invalidateAndCancel() {
    core_->invalidateAndCancel();
}
bool URLSession::isInvalidated() const {
    return core_->invalidated();
}

}  // namespace brisko::platform
