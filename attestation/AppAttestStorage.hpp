// What the App Attest provider keeps between runs: its key ID in a user-defaults suite and the
// backend's artifact for that key in the keychain; and the SHA-256 of client data.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "attestation/AppVouchErrors.hpp"
#include "attestation/promises/Promise.hpp"
#include "core/KeychainStorage.hpp"
#include "core/UserDefaults.hpp"

namespace brisko::platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace brisko::platform

namespace brisko::attestation {

using promises::Promise;

inline constexpr std::string_view kKeyIDStorageSuiteName = "com.zudiridi.EAVAppAttestKeyIDStorage";
inline constexpr std::string_view kKeyIDStorageKeyFormat = "app_attest_keyID.%@";
inline constexpr std::string_view kArtifactStorageKeychainService =
    "com.zudiridi.app_vouch.app_attest_artifact_storage";
inline constexpr std::string_view kArtifactStorageKeyFormat = "app_vouch_app_attest_artifact.%@";

class AppVouchCryptoUtils {
public:
    static platform::Data sha256HashFromData(const platform::Data& data);
};

class AppAttestKeyIDStorageProtocol {
public:
    virtual ~AppAttestKeyIDStorageProtocol() = default;
    // Stores the key ID (nothing removes it) and gives back what was given.
    virtual Promise<std::optional<std::string>> setAppAttestKeyID(std::optional<std::string> keyID) = 0;
    // The stored key ID, or the key-ID-not-found error.
    virtual Promise<std::string> getAppAttestKeyID() = 0;
};

class AppAttestKeyIDStorage : public AppAttestKeyIDStorageProtocol {
public:
    explicit AppAttestKeyIDStorage(std::string keySuffix);
    Promise<std::optional<std::string>> setAppAttestKeyID(std::optional<std::string> keyID) override;
    Promise<std::string> getAppAttestKeyID() override;
    std::string keyIDStorageKey() const;

private:
    std::string keySuffix_;
    core::UserDefaults userDefaults_;
};

class AppAttestStoredArtifact {
public:
    static constexpr std::string_view kArchiveClassName = "EAVAppAttestStoredArtifact";
    static constexpr std::string_view kKeyIDKey = "keyID";
    static constexpr std::string_view kArtifactKey = "artifact";
    static constexpr std::string_view kStorageVersionKey = "storageVersion";
    static constexpr std::int64_t kStorageVersion = 1;

    AppAttestStoredArtifact(std::string keyID, platform::Data artifact)
        : keyID(std::move(keyID)), artifact(std::move(artifact)) {}

    std::string keyID;
    platform::Data artifact;
    std::int64_t storageVersion = kStorageVersion;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless both the key ID and the artifact are there and not empty.
    static std::shared_ptr<AppAttestStoredArtifact> initWithCoder(platform::KeyedUnarchiver& coder);
};

class AppAttestArtifactStorageProtocol {
public:
    virtual ~AppAttestArtifactStorageProtocol() = default;
    // The artifact stored for this key ID; nothing when none is, or it belongs to another key.
    virtual Promise<std::optional<platform::Data>> getArtifactForKey(const std::string& keyID) = 0;
    // Stores the artifact for the key ID; nothing removes the stored artifact whatever the key ID.
    virtual Promise<std::optional<platform::Data>> setArtifact(std::optional<platform::Data> artifact,
                                                               const std::string& keyID) = 0;
};

class AppAttestArtifactStorage : public AppAttestArtifactStorageProtocol {
public:
    AppAttestArtifactStorage(std::string keySuffix, std::shared_ptr<core::KeychainStorage> keychainStorage,
                             std::optional<std::string> accessGroup);
    AppAttestArtifactStorage(std::string keySuffix, std::optional<std::string> accessGroup);

    Promise<std::optional<platform::Data>> getArtifactForKey(const std::string& keyID) override;
    Promise<std::optional<platform::Data>> setArtifact(std::optional<platform::Data> artifact,
                                                       const std::string& keyID) override;
    std::string artifactKey() const;
    const std::shared_ptr<core::KeychainStorage>& keychainStorage() const { return keychainStorage_; }

private:
    std::string keySuffix_;
    std::shared_ptr<core::KeychainStorage> keychainStorage_;
    std::optional<std::string> accessGroup_;
};

}  // namespace brisko::attestation
