// The keychain store of the cached attestation token and its archived record.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "attestation/AppVouchToken.hpp"
#include "attestation/promises/Promise.hpp"
#include "core/KeychainStorage.hpp"

namespace brisko::platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace brisko::platform

namespace brisko::attestation {

using promises::Promise;

inline constexpr std::string_view kTokenStorageKeychainService = "com.ezevar.app_vouch_core.token_storage";
inline constexpr std::string_view kTokenStorageKeyFormat = "app_vouch_token.%@.%@";

class AppVouchStoredToken {
public:
    static constexpr std::string_view kArchiveClassName = "EAVAppVouchStoredToken";
    static constexpr std::string_view kTokenKey = "token";
    static constexpr std::string_view kExpirationDateKey = "expirationDate";
    static constexpr std::string_view kReceivedAtDateKey = "receivedAtDate";
    static constexpr std::string_view kStorageVersionKey = "storageVersion";
    static constexpr std::int64_t kStorageVersion = 2;

    std::optional<std::string> token;
    std::optional<Date> expirationDate;
    std::optional<Date> receivedAtDate;
    std::int64_t storageVersion = kStorageVersion;

    void updateWithToken(const AppVouchToken& token);
    // The token of the record; nothing for a record without token text, which is no token at all.
    std::optional<AppVouchToken> appVouchToken() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<AppVouchStoredToken> initWithCoder(platform::KeyedUnarchiver& coder);
};

class AppVouchStorageProtocol {
public:
    virtual ~AppVouchStorageProtocol() = default;
    // The stored token, or nothing.
    virtual Promise<std::optional<AppVouchToken>> getToken() = 0;
    // Stores the token (nothing removes the stored one) and gives it back.
    virtual Promise<std::optional<AppVouchToken>> setToken(std::optional<AppVouchToken> token) = 0;
};

class AppVouchStorage : public AppVouchStorageProtocol {
public:
    AppVouchStorage(std::string tokenKey, std::shared_ptr<core::KeychainStorage> keychainStorage,
                    std::optional<std::string> accessGroup);
    AppVouchStorage(std::string tokenKey, std::optional<std::string> accessGroup);

    Promise<std::optional<AppVouchToken>> getToken() override;
    Promise<std::optional<AppVouchToken>> setToken(std::optional<AppVouchToken> token) override;
    Promise<std::optional<AppVouchToken>> storeToken(const AppVouchToken& token);

    const std::string& tokenKey() const { return tokenKey_; }
    const std::shared_ptr<core::KeychainStorage>& keychainStorage() const { return keychainStorage_; }

private:
    std::string tokenKey_;
    std::shared_ptr<core::KeychainStorage> keychainStorage_;
    std::optional<std::string> accessGroup_;
};

}  // namespace brisko::attestation
