// Key ID and artifact persistence for the App Attest provider.
#include "attestation/AppAttestStorage.hpp"

#include "attestation/promises/Promises.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::attestation {

using platform::Data;
using OptionalData = std::optional<Data>;

Data AppVouchCryptoUtils::sha256HashFromData(const Data& data) {
    return platform::crypto::sha256(data);
}

// MARK: - Key ID

AppAttestKeyIDStorage::AppAttestKeyIDStorage(std::string keySuffix)
    : keySuffix_(std::move(keySuffix)), userDefaults_(std::string(kKeyIDStorageSuiteName)) {}

std::string AppAttestKeyIDStorage::keyIDStorageKey() const {
    return platform::format(kKeyIDStorageKeyFormat, {keySuffix_});
}

Promise<std::optional<std::string>> AppAttestKeyIDStorage::setAppAttestKeyID(std::optional<std::string> keyID) {
    if (keyID) {
        userDefaults_.setObject(platform::Value(*keyID), keyIDStorageKey());
    } else {
        userDefaults_.removeObjectForKey(keyIDStorageKey());
    }
    return Promise<std::optional<std::string>>::resolvedWith(std::move(keyID));
}

Promise<std::string> AppAttestKeyIDStorage::getAppAttestKeyID() {
    auto stored = userDefaults_.stringForKey(keyIDStorageKey());
    if (stored && !stored->empty()) return Promise<std::string>::resolvedWith(*stored);
    return Promise<std::string>::resolvedWith(AppVouchErrorUtil::appAttestKeyIDNotFound());
}

// MARK: - Artifact

void AppAttestStoredArtifact::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(keyID), kKeyIDKey);
    coder.encodeObject(platform::Value(artifact), kArtifactKey);
    coder.encodeInteger(storageVersion, kStorageVersionKey);
}

std::shared_ptr<AppAttestStoredArtifact> AppAttestStoredArtifact::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto keyID = coder.decodeObjectOfClass<std::string>(kKeyIDKey);
    auto artifact = coder.decodeObjectOfClass<Data>(kArtifactKey);
    if (!keyID || keyID->empty() || !artifact || artifact->empty()) return nullptr;
    auto record = std::make_shared<AppAttestStoredArtifact>(std::move(*keyID), std::move(*artifact));
    record->storageVersion = coder.decodeInteger(kStorageVersionKey);
    return record;
}

AppAttestArtifactStorage::AppAttestArtifactStorage(std::string keySuffix,
                                                   std::shared_ptr<core::KeychainStorage> keychainStorage,
                                                   std::optional<std::string> accessGroup)
    : keySuffix_(std::move(keySuffix)), keychainStorage_(std::move(keychainStorage)),
      accessGroup_(std::move(accessGroup)) {}

AppAttestArtifactStorage::AppAttestArtifactStorage(std::string keySuffix, std::optional<std::string> accessGroup)
    : AppAttestArtifactStorage(std::move(keySuffix),
                               core::KeychainStorage::initWithService(std::string(kArtifactStorageKeychainService)),
                               std::move(accessGroup)) {}

std::string AppAttestArtifactStorage::artifactKey() const {
    return platform::format(kArtifactStorageKeyFormat, {keySuffix_});
}

Promise<OptionalData> AppAttestArtifactStorage::getArtifactForKey(const std::string& keyID) {
    using P = Promise<OptionalData>;
    auto storage = keychainStorage_;
    // Started from a global queue so that a caller blocked in await never waits for the main queue.
    return P::async(promises::Queue::global(), [storage, key = artifactKey(), group = accessGroup_,
                                                keyID](const P::Fulfill& fulfill, const P::Reject& reject) {
        storage->getObjectForKey<AppAttestStoredArtifact>(
            key, group,
            [fulfill, reject, keyID](const std::shared_ptr<AppAttestStoredArtifact>& record,
                                     std::optional<Error> error) {
                if (error) {
                    reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                } else if (record && record->keyID == keyID) {
                    fulfill(OptionalData(record->artifact));
                } else {
                    fulfill(OptionalData());
                }
            });
    });
}

Promise<OptionalData> AppAttestArtifactStorage::setArtifact(std::optional<Data> artifact, const std::string& keyID) {
    using P = Promise<OptionalData>;
    auto storage = keychainStorage_;
    return P::async(promises::Queue::global(), [storage, key = artifactKey(), group = accessGroup_, keyID,
                                                artifact = std::move(artifact)](const P::Fulfill& fulfill,
                                                                                const P::Reject& reject) {
        if (!artifact) {
            storage->removeObjectForKey(key, group, [fulfill, reject](std::optional<Error> error) {
                if (error) {
                    reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                } else {
                    fulfill(OptionalData());
                }
            });
            return;
        }
        auto record = std::make_shared<AppAttestStoredArtifact>(keyID, *artifact);
        storage->setObject(record, key, group,
                           [fulfill, reject, artifact](const platform::Value&, std::optional<Error> error) {
                               if (error) {
                                   reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                               } else {
                                   fulfill(artifact);
                               }
                           });
    });
}

}  // namespace brisko::attestation
