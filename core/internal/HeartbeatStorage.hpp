// One storage object per heartbeat identifier: every read-modify-write of the identifier's record runs
// on its own serial queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/UnfairLock.hpp"
#include "core/internal/HeartbeatsBundle.hpp"
#include "core/internal/Storage.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::core::internal {

inline constexpr std::string_view kHeartbeatStorageQueuePrefix = "com.heartbeat.storage.";

// The operations heartbeat logging needs of a store of bundles. Transforms run on the storage queue
// and must not call a waiting operation of the same storage.
class HeartbeatStorageProtocol {
  public:
    using Transform = std::function<std::optional<HeartbeatsBundle>(std::optional<HeartbeatsBundle>)>;
    // Either the previous bundle (or none) or the storing error.
    using ReplaceCompletion =
        std::function<void(std::optional<HeartbeatsBundle> previous, std::exception_ptr error)>;

    virtual ~HeartbeatStorageProtocol() = default;
    virtual void updateSync(Transform transform) = 0;
    virtual void updateAsync(Transform transform) = 0;
    // Returns the bundle stored before; throws StorageError when storing the new one fails.
    virtual std::optional<HeartbeatsBundle> replaceSync(Transform transform) = 0;
    virtual void replaceAsync(Transform transform, ReplaceCompletion completion) = 0;
};

class HeartbeatStorage final : public HeartbeatStorageProtocol,
                               public std::enable_shared_from_this<HeartbeatStorage> {
  public:
    // The process's storage object for the identifier: the live one when there is one, else a new one
    // over the identifier's heartbeat file.
    static std::shared_ptr<HeartbeatStorage> shared(const std::string& id);

    HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage);
    ~HeartbeatStorage() override;

    const std::string& id() const { return id_; }
    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

    void updateSync(Transform transform) override;
    void updateAsync(Transform transform) override;
    std::optional<HeartbeatsBundle> replaceSync(Transform transform) override;
    void replaceAsync(Transform transform, ReplaceCompletion completion) override;

  private:
    // The bundle of a stored record; an unreadable (nothing) or undecodable record counts as none.
    static std::optional<HeartbeatsBundle> parseBundle(const std::optional<platform::Data>& bytes);
    // On the queue: load, transform, save (only when the record changes); returns the loaded bundle and
    // the storing error, if any.
    std::pair<std::optional<HeartbeatsBundle>, std::exception_ptr> run(const Transform& transform);

    std::string id_;
    std::shared_ptr<Storage> storage_;
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace brisko::core::internal
