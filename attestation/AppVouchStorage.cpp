// Reading, writing and removing the cached token's keychain item.
#include "attestation/AppVouchStorage.hpp"

#include "attestation/promises/Promises.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::attestation {

using OptionalToken = std::optional<AppVouchToken>;

void AppVouchStoredToken::updateWithToken(const AppVouchToken& t) {
    token = t.token;
    expirationDate = t.expirationDate;
    receivedAtDate = t.receivedAtDate;
}

std::optional<AppVouchToken> AppVouchStoredToken::appVouchToken() const {
    if (!token) return std::nullopt;
    // A record without dates reads as a token expired long ago, so that it is refreshed.
    const Date distantPast = AppVouchTokenResult::placeholderToken().expirationDate;
    return AppVouchToken(*token, expirationDate.value_or(distantPast), receivedAtDate.value_or(distantPast));
}

void AppVouchStoredToken::encodeWithCoder(platform::KeyedArchiver& coder) const {
    if (token) coder.encodeObject(platform::Value(*token), kTokenKey);
    if (expirationDate) coder.encodeObject(platform::Value(*expirationDate), kExpirationDateKey);
    if (receivedAtDate) coder.encodeObject(platform::Value(*receivedAtDate), kReceivedAtDateKey);
    coder.encodeInteger(storageVersion, kStorageVersionKey);
}

std::shared_ptr<AppVouchStoredToken> AppVouchStoredToken::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto record = std::make_shared<AppVouchStoredToken>();
    record->token = coder.decodeObjectOfClass<std::string>(kTokenKey);
    record->expirationDate = coder.decodeObjectOfClass<Date>(kExpirationDateKey);
    record->receivedAtDate = coder.decodeObjectOfClass<Date>(kReceivedAtDateKey);
    record->storageVersion = coder.decodeInteger(kStorageVersionKey);
    return record;
}

AppVouchStorage::AppVouchStorage(std::string tokenKey, std::shared_ptr<core::KeychainStorage> keychainStorage,
                                 std::optional<std::string> accessGroup)
    : tokenKey_(std::move(tokenKey)), keychainStorage_(std::move(keychainStorage)),
      accessGroup_(std::move(accessGroup)) {}

AppVouchStorage::AppVouchStorage(std::string tokenKey, std::optional<std::string> accessGroup)
    : AppVouchStorage(std::move(tokenKey),
                      core::KeychainStorage::initWithService(std::string(kTokenStorageKeychainService)),
                      std::move(accessGroup)) {}

Promise<OptionalToken> AppVouchStorage::getToken() {
    using P = Promise<OptionalToken>;
    auto storage = keychainStorage_;
    return P::async(
        [storage, key = tokenKey_, group = accessGroup_](const P::Fulfill& fulfill, const P::Reject& reject) {
            storage->getObjectForKey<AppVouchStoredToken>(
                key, group,
                [fulfill, reject](const std::shared_ptr<AppVouchStoredToken>& record, std::optional<Error> error) {
                    if (error) {
                        reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                    } else {
                        fulfill(record ? record->appVouchToken() : std::nullopt);
                    }
                });
        });
}

Promise<OptionalToken> AppVouchStorage::storeToken(const AppVouchToken& token) {
    using P = Promise<OptionalToken>;
    auto storage = keychainStorage_;
    return P::async(
        [storage, key = tokenKey_, group = accessGroup_, token](const P::Fulfill& fulfill, const P::Reject& reject) {
            auto record = std::make_shared<AppVouchStoredToken>();
            record->updateWithToken(token);
            storage->setObject(record, key, group,
                               [fulfill, reject, token](const platform::Value&, std::optional<Error> error) {
                                   if (error) {
                                       reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                                   } else {
                                       fulfill(OptionalToken(token));
                                   }
                               });
        });
}

Promise<OptionalToken> AppVouchStorage::setToken(std::optional<AppVouchToken> token) {
    if (token) return storeToken(*token);
    using P = Promise<OptionalToken>;
    auto storage = keychainStorage_;
    return P::async(
        [storage, key = tokenKey_, group = accessGroup_](const P::Fulfill& fulfill, const P::Reject& reject) {
            storage->removeObjectForKey(key, group, [fulfill, reject](std::optional<Error> error) {
                if (error) {
                    reject(AppVouchErrorUtil::keychainErrorWithError(*error));
                } else {
                    fulfill(OptionalToken());
                }
            });
        });
}

}  // namespace brisko::attestation
