// Simulated fetches: a test block supplies the response and the fetcher replays its callbacks from it.
#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"

namespace brisko::fetcher {

using platform::Data;
using platform::Error;

namespace {
std::mutex& globalTestBlockMutex() {
    static std::mutex m;
    return m;
}

constexpr std::size_t kInputStreamReadLength = 512;

// The whole of a stream; nothing (and the stream's error) when a read fails.
std::optional<Data> dataFromInputStream(platform::InputStream& stream, std::optional<Error>& error) {
    Data out;
    std::uint8_t buffer[kInputStreamReadLength];
    stream.open();
    while (true) {
        const std::int64_t n = stream.read(buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            error = stream.streamError() ? *stream.streamError() : Error::posix(EIO);
            stream.close();
            return std::nullopt;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    stream.close();
    return out;
}
}  // namespace

SessionFetcher::TestBlock& globalTestBlockStorage() {
    static SessionFetcher::TestBlock block;
    return block;
}

SessionFetcher::TestBlock currentGlobalTestBlock() {
    std::lock_guard lock(globalTestBlockMutex());
    return globalTestBlockStorage();
}

void SessionFetcher::setGlobalTestBlock(TestBlock block) {
    std::lock_guard lock(globalTestBlockMutex());
    globalTestBlockStorage() = std::move(block);
}

void SessionFetcher::simulateFetchForTestBlock() {
    TestBlock block = testBlock();
    auto self = shared_from_this();
    if (!block) return;
    block(self, [self](ResponsePtr response, std::optional<Data> data, std::optional<Error> error) {
        if (!response && !data && !error) {
            // All absent: the fetch goes to the network after all.
            std::shared_ptr<platform::URLSessionTask> task;
            {
                std::lock_guard lock(self->mutex_);
                self->testBlock_ = nullptr;
                self->isUsingTestBlock_ = false;
                task = self->sessionTask_;
            }
            if (task) task->resume();
            return;
        }
        if (auto provider = self->bodyStreamProvider()) {
            // The body is what the provider's stream holds, read away from the callback queue.
            provider([self, response, data, error](const std::shared_ptr<platform::InputStream>& stream) {
                self->invokeOnCallbackQueue(internal::globalQueue(), false, [self, stream, response, data, error] {
                    std::optional<Error> streamError;
                    std::optional<Data> body;
                    if (stream) body = dataFromInputStream(*stream, streamError);
                    platform::DispatchQueue::main()->async([self, body, response, data,
                                                            error = error ? error : streamError] {
                        self->simulateDataCallbacksForTestBlock(body, response, data, error);
                    });
                });
            });
            return;
        }
        std::optional<Data> body;
        {
            std::lock_guard lock(self->mutex_);
            if (self->bodyFileURL_) {
                auto path = self->bodyFileURL_->path();
                auto range = self->bodyFileRange_;
                if (auto contents = range ? internal::readFileRange(path, range->offset, range->length)
                                          : internal::readFile(path)) {
                    self->bodyData_ = std::move(contents);
                } else {
                    error = internal::fileError(ENOENT, path);
                }
            }
            body = self->bodyData_;
        }
        platform::DispatchQueue::main()->async([self, body, response, data, error] {
            self->simulateDataCallbacksForTestBlock(body, response, data, error);
        });
    });
}

void SessionFetcher::simulateDataCallbacksForTestBlock(std::optional<Data> bodyData, ResponsePtr response,
                                                       std::optional<Data> responseData,
                                                       std::optional<Error> error) {
    auto self = shared_from_this();
    WillRedirectBlock willRedirect;
    ChallengeBlock challengeBlock;
    DidReceiveResponseBlock didReceiveResponse;
    SendProgressBlock sendProgress;
    DownloadProgressBlock downloadProgress;
    AccumulateDataBlock accumulate;
    ReceivedProgressBlock receivedProgress;
    WillCacheURLResponseBlock willCache;
    std::optional<platform::URL> destination;
    std::optional<URLRequest> request;
    {
        std::lock_guard lock(mutex_);
        willRedirect = willRedirectBlock_;
        challengeBlock = challengeBlock_;
        didReceiveResponse = didReceiveResponseBlock_;
        sendProgress = sendProgressBlock_;
        downloadProgress = downloadProgressBlock_;
        accumulate = accumulateDataBlock_;
        receivedProgress = receivedProgressBlock_;
        willCache = willCacheURLResponseBlock_;
        destination = destinationFileURL_;
        request = request_;
    }
    // 1-3. The decision blocks run whatever happens, with answers that change nothing.
    if (willRedirect) {
        invokeOnCallbackQueueAfterUserStopped(true, [willRedirect, response, request] {
            willRedirect(response, request.value_or(URLRequest()), [](std::optional<URLRequest>) {});
        });
    }
    if (challengeBlock) {
        platform::URLAuthenticationChallenge challenge;
        if (request && request->url()) {
            challenge.protectionSpace.host = request->url()->host().value_or("");
            challenge.protectionSpace.port = request->url()->effectivePort().value_or(0);
            challenge.protectionSpace.protocol = request->url()->scheme();
        }
        challenge.protectionSpace.authenticationMethod =
            std::string(platform::kURLAuthenticationMethodHTTPBasic);
        invokeOnCallbackQueueAfterUserStopped(true, [challengeBlock, self, challenge] {
            challengeBlock(
                self, challenge,
                [](platform::URLSessionAuthChallengeDisposition, std::optional<platform::URLCredential>) {});
        });
    }
    if (didReceiveResponse && response) {
        invokeOnCallbackQueueAfterUserStopped(true, [didReceiveResponse, response] {
            didReceiveResponse(response, [](platform::URLSessionResponseDisposition) {});
        });
    }
    // 4. Upload progress.
    if (sendProgress && bodyData) {
        simulateByteTransferReport(static_cast<std::int64_t>(bodyData->size()), sendProgress);
    }
    if (destination) {
        // 5. A download.
        if (downloadProgress && responseData) {
            simulateByteTransferReport(static_cast<std::int64_t>(responseData->size()), downloadProgress);
        }
        if (auto writeError =
                internal::writeDataAtomically(responseData.value_or(Data{}), destination->path())) {
            error = writeError;
        }
    } else {
        // 6. Body data, in pieces when someone watches.
        if (responseData && (accumulate || receivedProgress)) {
            simulateByteTransfer(*responseData,
                                 [accumulate, receivedProgress](Data piece, std::int64_t length,
                                                                std::int64_t total, std::int64_t) {
                                     if (accumulate) accumulate(std::move(piece));
                                     if (receivedProgress) receivedProgress(length, total);
                                 });
        }
        if (!accumulate && responseData) {
            std::lock_guard lock(mutex_);
            downloadedData_ = *responseData;
            downloadedLength_ = static_cast<std::int64_t>(responseData->size());
        }
        if (willCache) {
            platform::CachedURLResponse cached{response, responseData.value_or(Data{})};
            invokeOnCallbackQueueAfterUserStopped(true, [willCache, cached] {
                willCache(cached, [](std::optional<platform::CachedURLResponse>) {});
            });
        }
    }
    // 7.
    setResponse(response);
    // 8. The same ending as a real fetch.
    auto delegateQueue = sessionDelegateQueue();
    delegateQueue->async([self, error] {
        if (error && (error->code() < 200 || error->code() > 399)) {
            self->shouldRetryNowForStatus(
                static_cast<int>(error->code()), error, false,
                [self, error](bool shouldRetry) { self->finishWithError(error, shouldRetry); });
        } else {
            self->finishWithError(std::nullopt, false);
        }
    });
}

void SessionFetcher::simulateByteTransferReport(
    std::int64_t length, std::function<void(std::int64_t, std::int64_t, std::int64_t)> block) {
    if (length <= 0 || !block) return;
    std::int64_t chunk = length / 3 + 1;
    std::int64_t sent = 0;
    while (sent < length) {
        std::int64_t piece = std::min(chunk, length - sent);
        sent += piece;
        invokeOnCallbackQueueUnlessStopped([block, piece, sent, length] { block(piece, sent, length); });
    }
}

void SessionFetcher::simulateByteTransfer(
    const Data& data, std::function<void(Data, std::int64_t, std::int64_t, std::int64_t)> block) {
    if (data.empty() || !block) return;
    std::size_t count = std::max<std::size_t>(testBlockAccumulateDataChunkCount(), 1);
    auto length = static_cast<std::int64_t>(data.size());
    std::int64_t chunk = length / static_cast<std::int64_t>(count) + 1;
    std::int64_t sent = 0;
    while (sent < length) {
        std::int64_t piece = std::min(chunk, length - sent);
        Data bytes(data.begin() + sent, data.begin() + sent + piece);
        sent += piece;
        invokeOnCallbackQueueUnlessStopped(
            [block, bytes = std::move(bytes), piece, sent, length] { block(bytes, piece, sent, length); });
    }
}

}  // namespace brisko::fetcher
