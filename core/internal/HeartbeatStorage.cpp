// Heartbeat storage: the process-wide weak cache of storage objects and the queued load-transform-save.
#include "core/internal/HeartbeatStorage.hpp"

#include "core/internal/FileStorage.hpp"

namespace brisko::core::internal {
namespace {

using Cache = std::map<std::string, std::weak_ptr<HeartbeatStorage>, std::less<>>;

// Never destroyed: storage objects held by apps that live until exit still reach it from their
// destructors during static teardown.
UnfairLock<Cache>& cachedInstances() {
    static auto* cache = new UnfairLock<Cache>(Cache{});
    return *cache;
}

}  // namespace

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::shared(const std::string& id) {
    return cachedInstances().withLock([&](Cache& cache) {
        auto& entry = cache[id];
        if (auto alive = entry.lock()) return alive;
        auto storage = std::make_shared<HeartbeatStorage>(id, FileStorage::storage(id));
        entry = storage;
        return storage;
    });
}

HeartbeatStorage::HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage)
    : id_(std::move(id)),
      storage_(std::move(storage)),
      queue_(platform::DispatchQueue::make(std::string(kHeartbeatStorageQueuePrefix) + id_)) {}

HeartbeatStorage::~HeartbeatStorage() {
    // Only a dead entry is removed: a newer storage object made for the same identifier after this one
    // died keeps its entry.
    cachedInstances().withLock([&](Cache& cache) {
        auto it = cache.find(id_);
        if (it != cache.end() && it->second.expired()) cache.erase(it);
    });
}

std::optional<HeartbeatsBundle> HeartbeatStorage::parseBundle(const std::optional<platform::Data>& bytes) {
    if (!bytes || bytes->empty()) return std::nullopt;
    try {
        return HeartbeatsBundle::fromJSONText(
            std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    } catch (const StorageError&) {
        return std::nullopt;
    }
}

std::pair<std::optional<HeartbeatsBundle>, std::exception_ptr> HeartbeatStorage::run(
    const Transform& transform) {
    std::optional<platform::Data> stored;  // nothing when the storage could not be read
    try {
        stored = storage_->read();
    } catch (const StorageError&) {
    }
    auto loaded = parseBundle(stored);
    std::exception_ptr error;
    try {
        const auto next = transform(loaded);
        platform::Data bytes;
        if (next) {
            const std::string text = next->jsonText();
            bytes.assign(text.begin(), text.end());
        }
        // Most requests change nothing (no heartbeat due, nothing to flush): the storage already holds
        // these bytes, and writing them again would put a synchronised write on the request's path.
        if (!stored || *stored != bytes) storage_->write(next ? std::optional(std::move(bytes)) : std::nullopt);
    } catch (const StorageError&) {
        error = std::current_exception();
    }
    return {std::move(loaded), error};
}

void HeartbeatStorage::updateSync(Transform transform) {
    queue_->sync([&] { run(transform); });
}

void HeartbeatStorage::updateAsync(Transform transform) {
    // The block keeps this storage object alive until it has run.
    queue_->async([self = shared_from_this(), transform = std::move(transform)] { self->run(transform); });
}

std::optional<HeartbeatsBundle> HeartbeatStorage::replaceSync(Transform transform) {
    auto [previous, error] = queue_->syncResult([&] { return run(transform); });
    if (error) std::rethrow_exception(error);
    return previous;
}

void HeartbeatStorage::replaceAsync(Transform transform, ReplaceCompletion completion) {
    queue_->async(
        [self = shared_from_this(), transform = std::move(transform), completion = std::move(completion)] {
            auto [previous, error] = self->run(transform);
            if (error) {
                completion(std::nullopt, error);
            } else {
                completion(std::move(previous), nullptr);
            }
        });
}

}  // namespace brisko::core::internal
