// The keychain storage's hops between its cache queue and its keychain queue.
#include "core/KeychainStorage.hpp"

#include "core/KeychainUtils.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::core {

std::shared_ptr<KeychainStorage> KeychainStorage::initWithService(std::string service) {
    return initWithService(std::move(service), Cache(kDefaultCacheCountLimit));
}

std::shared_ptr<KeychainStorage> KeychainStorage::initWithService(std::string service, Cache cache) {
    return std::make_shared<KeychainStorage>(std::move(service), std::move(cache));
}

KeychainStorage::KeychainStorage(std::string service, Cache cache)
    : keychainQueue_(platform::DispatchQueue::make(std::string(kKeychainStorageKeychainQueueLabel))),
      inMemoryCacheQueue_(platform::DispatchQueue::make(std::string(kKeychainStorageCacheQueueLabel))),
      service_(std::move(service)),
      inMemoryCache_(std::move(cache)) {}

std::shared_ptr<platform::Keychain> KeychainStorage::keychainRef() const {
    std::lock_guard lock(keychainMutex_);
    return keychainRef_ ? keychainRef_ : platform::Keychain::defaultKeychain();
}

void KeychainStorage::setKeychainRef(std::shared_ptr<platform::Keychain> keychain) {
    std::lock_guard lock(keychainMutex_);
    keychainRef_ = std::move(keychain);
}

platform::KeychainQuery KeychainStorage::keychainQueryWithKey(
    const std::string& key, const std::optional<std::string>& accessGroup) const {
    return platform::KeychainQuery{
        .service = service_, .account = key, .accessGroup = accessGroup, .useDataProtectionKeychain = true};
}

std::uint64_t KeychainStorage::bumpGeneration(const std::string& key) {
    return ++generations_[key];
}

void KeychainStorage::getObjectForKey(const std::string& key, platform::ArchiveClassList objectClasses,
                                      std::optional<std::string> accessGroup, ObjectCompletion completion) {
    auto self = shared_from_this();
    inMemoryCacheQueue_->async([self, key, objectClasses = std::move(objectClasses),
                                accessGroup = std::move(accessGroup),
                                completion = std::move(completion)]() mutable {
        if (auto cached = self->inMemoryCache_.objectForKey(key)) {
            completion(std::move(*cached), std::nullopt);
            return;
        }
        const auto generation = self->generations_[key];
        self->getObjectFromKeychainForKey(key, std::move(objectClasses), std::move(accessGroup), generation,
                                          std::move(completion));
    });
}

void KeychainStorage::getObjectFromKeychainForKey(const std::string& key,
                                                  platform::ArchiveClassList objectClasses,
                                                  std::optional<std::string> accessGroup,
                                                  std::uint64_t generation, ObjectCompletion completion) {
    auto self = shared_from_this();
    keychainQueue_->async([self, key, objectClasses = std::move(objectClasses),
                           accessGroup = std::move(accessGroup), generation,
                           completion = std::move(completion)]() mutable {
        std::optional<platform::Error> error;
        auto data = KeychainUtils::getItemWithQuery(*self->keychainRef(),
                                                    self->keychainQueryWithKey(key, accessGroup), error);
        if (error) {
            completion(platform::Value(), std::move(error));
            return;
        }
        if (!data) {
            completion(platform::Value(), std::nullopt);
            return;
        }
        platform::Value object;
        try {
            object = platform::KeyedUnarchiver::unarchivedObjectOfClasses(objectClasses, *data);
        } catch (const platform::ErrorException& e) {
            completion(platform::Value(), e.error());
            return;
        }
        self->inMemoryCacheQueue_->async([self, key, generation, object = std::move(object),
                                          completion = std::move(completion)]() mutable {
            // A write or removal issued after this read began wins: the read's object is not cached.
            if (!object.isNull() && self->generations_[key] == generation)
                self->inMemoryCache_.setObject(object, key);
            completion(std::move(object), std::nullopt);
        });
    });
}

void KeychainStorage::setObject(platform::Value object, const std::string& key,
                                std::optional<std::string> accessGroup, ObjectCompletion completion) {
    auto self = shared_from_this();
    inMemoryCacheQueue_->async([self, object = std::move(object), key, accessGroup = std::move(accessGroup),
                                completion = std::move(completion)]() mutable {
        // The object is cached only once it is stored: until then a read misses the cache and goes to
        // the keychain queue, where it runs after this write and sees what the write left.
        const auto generation = self->bumpGeneration(key);
        self->inMemoryCache_.removeObjectForKey(key);
        self->keychainQueue_->async([self, object = std::move(object), key,
                                     accessGroup = std::move(accessGroup), generation,
                                     completion = std::move(completion)]() mutable {
            std::optional<platform::Error> error;
            try {
                const auto data = platform::KeyedArchiver::archivedDataWithRootObject(object, true);
                KeychainUtils::setItem(*self->keychainRef(), data,
                                       self->keychainQueryWithKey(key, accessGroup), error);
            } catch (const platform::ErrorException& e) {
                error = e.error();
            }
            if (error) {
                completion(platform::Value(), std::move(error));
                return;
            }
            self->inMemoryCacheQueue_->async([self, key, generation, object = std::move(object),
                                              completion = std::move(completion)]() mutable {
                // A later write or removal of the key wins over this one in the cache.
                if (!object.isNull() && self->generations_[key] == generation)
                    self->inMemoryCache_.setObject(object, key);
                completion(std::move(object), std::nullopt);
            });
        });
    });
}

void KeychainStorage::removeObjectForKey(const std::string& key, std::optional<std::string> accessGroup,
                                         RemoveCompletion completion) {
    auto self = shared_from_this();
    inMemoryCacheQueue_->async(
        [self, key, accessGroup = std::move(accessGroup), completion = std::move(completion)]() mutable {
            self->bumpGeneration(key);
            self->inMemoryCache_.removeObjectForKey(key);
            self->keychainQueue_->async([self, key, accessGroup = std::move(accessGroup),
                                         completion = std::move(completion)]() mutable {
                std::optional<platform::Error> error;
                KeychainUtils::removeItemWithQuery(*self->keychainRef(),
                                                   self->keychainQueryWithKey(key, accessGroup), error);
                completion(std::move(error));
            });
        });
}

void KeychainStorage::resetInMemoryCache() {
    if (inMemoryCacheQueue_->isCurrent()) {
        inMemoryCache_.removeAllObjects();
        return;
    }
    inMemoryCacheQueue_->sync([this] { inMemoryCache_.removeAllObjects(); });
}

}  // namespace brisko::core
