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

std::optional<HeartbeatsBundle> HeartbeatStorage::loadBundle() {
    try {
        const platform::Data bytes = storage_->read();
        if (bytes.empty()) return std::nullopt;
        return HeartbeatsBundle::fromJSONText(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const StorageError&) {
        return std::nullopt;
    }
}

void HeartbeatStorage::saveBundle(const std::optional<HeartbeatsBundle>& bundle) {
    if (!bundle) {
        storage_->write(std::nullopt);
        return;
    }
    const std::string text = bundle->jsonText();
    storage_->write(platform::Data(text.begin(), text.end()));
}

std::pair<std::optional<HeartbeatsBundle>, std::exception_ptr> HeartbeatStorage::run(
    const Transform& transform) {
    auto loaded = loadBundle();
    std::exception_ptr error;
    try {
        saveBundle(transform(loaded));
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
