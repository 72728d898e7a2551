// The identity client's keychain store: data under a key as generic-password items of one service,
// with a one-time move of items written under the older account naming.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "auth/AuthKeychainStorage.hpp"
#include "core/UnfairLock.hpp"
#include "platform/base/Value.hpp"

namespace brisko::auth {

inline constexpr std::string_view kKeychainAccountPrefix = "zudiridi_auth_1_";
inline constexpr std::string_view kEmptyKeychainKeyMessage = "The key cannot be empty.";
inline constexpr std::string_view kKeychainMultipleResultsMessage =
    "Keychain query returned multiple results, all but the first will be ignored: ";
inline constexpr std::string_view kSecItemCopyMatching = "SecItemCopyMatching";
inline constexpr std::string_view kSecItemAdd = "SecItemAdd";
inline constexpr std::string_view kSecItemUpdate = "SecItemUpdate";
inline constexpr std::string_view kSecItemDelete = "SecItemDelete";

class AuthKeychainServices {
public:
    AuthKeychainServices(std::string service, std::shared_ptr<AuthKeychainStorage> storage);

    const std::string& service() const { return service_; }
    const std::shared_ptr<AuthKeychainStorage>& keychainStorage() const { return keychainStorage_; }

    // The current item of a key: its account, this service and the data-protection keychain.
    platform::KeychainQuery itemQuery(std::string_view key) const;
    // The bytes stored under a key (a legacy item found is moved to the current form first); nothing
    // when there are none. Throws the keychain error (17995).
    std::optional<platform::Data> readData(std::string_view key);
    // Adds or replaces the item of the query with the bytes. Throws the keychain error.
    void writeData(const platform::Data& data, const platform::KeychainQuery& query);
    // Deletes the current and then the legacy item of a key. Throws the keychain error.
    void removeData(std::string_view key);
    // Deletes the legacy item of a key, once per process; never fails.
    void deleteLegacyItem(std::string_view key);

private:
    std::optional<platform::Data> readItem(const platform::KeychainQuery& query);
    static platform::KeychainQuery legacyQuery(std::string_view key);

    std::string service_;
    std::shared_ptr<AuthKeychainStorage> keychainStorage_;
    core::UnfairLock<std::set<std::string, std::less<>>> legacyEntryDeletedForKey_;
};

}  // namespace brisko::auth
