// Restoring resumable uploads whose chunk fetchers ran in background sessions, and the registry of them.
#include <limits>

#include "fetcher/SessionUploadFetcher.hpp"

namespace brisko::fetcher {

using platform::Dictionary;
using platform::Value;

namespace {
constexpr std::string_view kUploadChunkKey = "_upChunk";
constexpr std::string_view kUploadFileURLKey = "_upFileURL";
constexpr std::string_view kUploadFileLengthKey = "_upFileLen";
constexpr std::string_view kUploadLocationURLKey = "_upLocURL";
constexpr std::string_view kUploadMIMETypeKey = "_uploadMIME";
constexpr std::string_view kUploadChunkSizeKey = "_upChSize";
constexpr std::string_view kUploadCurrentOffsetKey = "_upOffset";
constexpr std::string_view kUploadAllowsCellularAccessKey = "_upAllowsCellularAccess";

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<SessionUploadFetcher>> fetchers;
};
Registry& registry() {
    static Registry r;
    return r;
}

const Value* member(const Dictionary& d, std::string_view key) {
    auto it = d.find(key);
    return it == d.end() ? nullptr : &it->second;
}

std::optional<std::int64_t> integerMember(const Dictionary& d, std::string_view key) {
    const auto* v = member(d, key);
    if (!v) return std::nullopt;
    return v->truncatedInteger();
}

std::optional<bool> boolMember(const Dictionary& d, std::string_view key) {
    const auto* v = member(d, key);
    if (!v) return std::nullopt;
    if (auto b = v->boolean()) return b;
    if (auto i = v->integer()) return *i != 0;
    return std::nullopt;
}

std::optional<std::string> textMember(const Dictionary& d, std::string_view key) {
    const auto* v = member(d, key);
    if (!v || !v->string()) return std::nullopt;
    return *v->string();
}
}  // namespace

bool SessionUploadFetcher::useBackgroundSession() const {
    std::lock_guard lock(uploadMutex_);
    return useBackgroundSessionOnChunkFetchers_;
}

void SessionUploadFetcher::setUseBackgroundSession(bool value) {
    auto self = uploadSelf();
    // Lock order: the fetcher's own lock, then the registry's (the reconnect scan takes no fetcher lock
    // while it holds the registry's).
    std::lock_guard lock(uploadMutex_);
    if (useBackgroundSessionOnChunkFetchers_ == value) return;
    useBackgroundSessionOnChunkFetchers_ = value;
    auto& r = registry();
    std::lock_guard registryLock(r.mutex);
    if (value) {
        r.fetchers.push_back(self);
    } else {
        // Entries are compared by owner, without locking them: no other fetcher is kept alive (and
        // possibly destroyed) under the registry's lock.
        std::erase_if(r.fetchers, [&self](const auto& weak) {
            return weak.expired() || (!weak.owner_before(self) && !self.owner_before(weak));
        });
    }
}

Dictionary SessionUploadFetcher::uploadSessionIdentifierMetadata() {
    auto startRequest = request();
    std::lock_guard lock(uploadMutex_);
    Dictionary metadata;
    metadata[std::string(kUploadChunkKey)] = true;
    if (uploadFileURL_) metadata[std::string(kUploadFileURLKey)] = uploadFileURL_->absoluteString();
    metadata[std::string(kUploadFileLengthKey)] = fullUploadLengthUnsynchronized();
    if (uploadLocationURL_)
        metadata[std::string(kUploadLocationURLKey)] = uploadLocationURL_->absoluteString();
    if (uploadMIMEType_) metadata[std::string(kUploadMIMETypeKey)] = *uploadMIMEType_;
    metadata[std::string(kUploadChunkSizeKey)] = chunkSize_;
    metadata[std::string(kUploadCurrentOffsetKey)] = currentOffset_;
    metadata[std::string(kUploadAllowsCellularAccessKey)] =
        startRequest ? startRequest->allowsCellularAccess() : allowsCellularAccess_;
    return metadata;
}

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(
    const Dictionary& metadata) {
    auto fileLength = integerMember(metadata, kUploadFileLengthKey);
    auto fileText = textMember(metadata, kUploadFileURLKey);
    if (!fileLength || !fileText) return nullptr;
    auto fileURL = platform::URL::parse(*fileText);
    if (!fileURL) return nullptr;
    std::optional<platform::URL> location;
    if (auto text = textMember(metadata, kUploadLocationURLKey)) location = platform::URL::parse(*text);
    auto mimeType = textMember(metadata, kUploadMIMETypeKey);
    std::int64_t chunkSize = integerMember(metadata, kUploadChunkSizeKey).value_or(0);
    if (chunkSize <= 0) chunkSize = std::numeric_limits<std::int64_t>::max();
    std::int64_t offset = integerMember(metadata, kUploadCurrentOffsetKey).value_or(0);
    bool cellular = boolMember(metadata, kUploadAllowsCellularAccessKey).value_or(true);
    if (offset < 0 || *fileLength < offset) return nullptr;

    auto fetcher = uploadFetcherWithLocation(location, mimeType, chunkSize, nullptr, cellular);
    {
        std::lock_guard lock(fetcher->uploadMutex_);
        fetcher->uploadFileLength_ = *fileLength;
        fetcher->uploadFileURL_ = fileURL;
        fetcher->currentOffset_ = offset;
    }
    fetcher->setSessionUserInfo(metadata);
    fetcher->setUseBackgroundSession(true);
    fetcher->setDelegateCallbackQueue(fetcher->callbackQueue());
    fetcher->setAllowedInsecureSchemes({"http"});
    return fetcher;
}

std::vector<std::shared_ptr<SessionUploadFetcher>>
SessionUploadFetcher::uploadFetchersForBackgroundSessions() {
    std::vector<std::shared_ptr<SessionUploadFetcher>> result;
    std::vector<std::string> attachedIdentifiers;
    // The registry's lock only guards the list: a fetcher's own lock is taken before the registry's when it
    // joins or leaves, so the fetchers are asked about their chunk fetchers after the registry's is let go.
    std::vector<std::shared_ptr<SessionUploadFetcher>> live;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        std::erase_if(r.fetchers, [](const auto& weak) { return weak.expired(); });
        live.reserve(r.fetchers.size());
        for (const auto& weak : r.fetchers) {
            if (auto fetcher = weak.lock()) live.push_back(std::move(fetcher));
        }
    }
    for (auto& fetcher : live) {
        auto chunk = fetcher->chunkFetcher();
        auto identifier = chunk ? chunk->sessionIdentifier() : std::nullopt;
        if (identifier) {
            attachedIdentifiers.push_back(*identifier);
            result.push_back(std::move(fetcher));
        }
    }
    for (const auto& backgroundFetcher : SessionFetcher::fetchersForBackgroundSessions()) {
        auto identifier = backgroundFetcher->sessionIdentifier();
        if (identifier && std::find(attachedIdentifiers.begin(), attachedIdentifiers.end(), *identifier) !=
                              attachedIdentifiers.end())
            continue;
        auto metadata = backgroundFetcher->sessionIdentifierMetadata();
        if (!metadata || !boolMember(*metadata, kUploadChunkKey).value_or(false)) continue;
        auto upload = uploadFetcherForSessionIdentifierMetadata(*metadata);
        if (!upload) {
            backgroundFetcher->stopFetching();
            continue;
        }
        result.push_back(upload);
        {
            std::lock_guard lock(upload->uploadMutex_);
            upload->chunkFetcher_ = backgroundFetcher;
            upload->fetcherInFlight_ = backgroundFetcher;
            // A background transfer does not outlive this process here: when the recreated chunk fetcher
            // reports that its session has no task, the upload asks the server where it stands instead.
            upload->shouldInitiateOffsetQuery_ = true;
        }
        upload->attachSendProgressBlockToChunkFetcher(backgroundFetcher);
        std::weak_ptr<SessionUploadFetcher> weakUpload = upload;
        std::weak_ptr<SessionFetcher> weakChunk = backgroundFetcher;
        backgroundFetcher->setCompletionHandler(
            [weakUpload, weakChunk](std::optional<platform::Data> data,
                                    std::optional<platform::Error> error) {
                auto self = weakUpload.lock();
                auto chunk = weakChunk.lock();
                if (self && chunk) self->chunkFetcherFinished(chunk, std::move(data), std::move(error));
            });
    }
    return result;
}

std::shared_ptr<SessionUploadFetcher> SessionUploadFetcher::uploadFetcherForSessionIdentifier(
    const std::string& identifier) {
    for (const auto& fetcher : uploadFetchersForBackgroundSessions()) {
        auto chunk = fetcher->chunkFetcher();
        if (chunk && chunk->sessionIdentifier() == identifier) return fetcher;
    }
    return nullptr;
}

void SessionUploadFetcher::reconnectUploadFetchersForBackgroundSessionsOnAppLaunch() {
    platform::DispatchQueue::main()->async([] { uploadFetchersForBackgroundSessions(); });
}

}  // namespace brisko::fetcher
