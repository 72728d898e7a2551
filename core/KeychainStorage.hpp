// Objects stored with secure keyed archiving as keychain items of one service, behind a small
// in-memory cache; answers through completions on its own queues.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/ObjectCache.hpp"
#include "platform/storage/ArchiveClass.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/base/Value.hpp"

namespace brisko::core {

inline constexpr std::string_view kKeychainStorageKeychainQueueLabel = "com.eul.KeychainStorage.Keychain";
inline constexpr std::string_view kKeychainStorageCacheQueueLabel = "com.eul.KeychainStorage.InMemoryCache";

class KeychainStorage : public std::enable_shared_from_this<KeychainStorage> {
  public:
    using Cache = ObjectCache<platform::Value>;
    // The object (null for none) and the error.
    using ObjectCompletion =
        std::function<void(platform::Value object, std::optional<platform::Error> error)>;
    using RemoveCompletion = std::function<void(std::optional<platform::Error> error)>;

    static constexpr std::size_t kDefaultCacheCountLimit = 5;

    // A store for the service with a cache of at most 5 objects.
    static std::shared_ptr<KeychainStorage> initWithService(std::string service);
    static std::shared_ptr<KeychainStorage> initWithService(std::string service, Cache cache);

    // A cached object, else the item unarchived as one of the classes and cached; (null, nothing) when
    // there is no item.
    void getObjectForKey(const std::string& key, platform::ArchiveClassList objectClasses,
                         std::optional<std::string> accessGroup, ObjectCompletion completion);
    template <class T>
    void getObjectForKey(const std::string& key, std::optional<std::string> accessGroup,
                         std::function<void(std::shared_ptr<T>, std::optional<platform::Error>)> completion) {
        getObjectForKey(key, platform::archiveClasses<T>(), std::move(accessGroup),
                        [completion = std::move(completion)](platform::Value object,
                                                             std::optional<platform::Error> error) {
                            completion(object.object<T>(), std::move(error));
                        });
    }
    // Archives and writes the object, and caches it once it is stored. A read issued meanwhile waits
    // for the write and answers what the keychain then holds, so a failed write is never reported as
    // stored.
    void setObject(platform::Value object, const std::string& key, std::optional<std::string> accessGroup,
                   ObjectCompletion completion);
    template <platform::Archivable T>
    void setObject(const std::shared_ptr<T>& object, const std::string& key,
                   std::optional<std::string> accessGroup, ObjectCompletion completion) {
        platform::archiveClassName<T>();
        setObject(object ? platform::Value::object(object) : platform::Value(), key, std::move(accessGroup),
                  std::move(completion));
    }
    void removeObjectForKey(const std::string& key, std::optional<std::string> accessGroup,
                            RemoveCompletion completion);
    // Empties the cache now.
    void resetInMemoryCache();

    // The query of a key's item.
    platform::KeychainQuery keychainQueryWithKey(const std::string& key,
                                                 const std::optional<std::string>& accessGroup) const;

    const std::string& service() const { return service_; }
    const std::shared_ptr<platform::DispatchQueue>& keychainQueue() const { return keychainQueue_; }
    const std::shared_ptr<platform::DispatchQueue>& inMemoryCacheQueue() const { return inMemoryCacheQueue_; }
    // The keychain the items live in: the pinned one, else the process's keychain.
    std::shared_ptr<platform::Keychain> keychainRef() const;
    void setKeychainRef(std::shared_ptr<platform::Keychain> keychain);

    KeychainStorage(std::string service, Cache cache);

  private:
    void getObjectFromKeychainForKey(const std::string& key, platform::ArchiveClassList objectClasses,
                                     std::optional<std::string> accessGroup, std::uint64_t generation,
                                     ObjectCompletion completion);
    // On the cache queue: a new generation of the key, so older reads and writes know they are stale.
    std::uint64_t bumpGeneration(const std::string& key);

    std::shared_ptr<platform::DispatchQueue> keychainQueue_;
    std::shared_ptr<platform::DispatchQueue> inMemoryCacheQueue_;
    std::string service_;
    mutable std::mutex keychainMutex_;
    std::shared_ptr<platform::Keychain> keychainRef_;
    // Touched only on the cache queue.
    Cache inMemoryCache_;
    std::map<std::string, std::uint64_t> generations_;
};

}  // namespace brisko::core
