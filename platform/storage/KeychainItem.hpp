// Generic-password keychain items, the queries that find them and the changes an update makes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {

// When an item may be read, as the platform names it; stored and matched, not enforced here (the
// Secret Service's own locking decides).
enum class KeychainAccessibility {
    whenUnlocked,
    afterFirstUnlock,
    whenUnlockedThisDeviceOnly,
    afterFirstUnlockThisDeviceOnly,
    whenPasscodeSetThisDeviceOnly,
};

// The platform's short codes ("ak", "ck", "aku", "cku", "akpu"), used in stored items.
std::string_view keychainAccessibilityCode(KeychainAccessibility a);
std::optional<KeychainAccessibility> keychainAccessibilityFromCode(std::string_view code);

struct KeychainItem {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> accessGroup;
    std::optional<std::string> label;
    std::optional<KeychainAccessibility> accessible;
    bool synchronizable = false;
    // The platform keeps data-protection items apart from those of the older file-based keychain; so do
    // we: an item is found only by queries that name the same keychain.
    bool dataProtectionKeychain = false;
    Data data;
    // Set by the keychain when the item is added or changed.
    std::optional<Date> creationDate;
    std::optional<Date> modificationDate;

    bool operator==(const KeychainItem&) const = default;
    // Same service, account, access group, synchronizable flag and keychain: adding both is a duplicate.
    bool samePrimaryKey(const KeychainItem& other) const;
};

enum class KeychainSynchronizable { no, yes, any };

// What SecItemCopyMatching, SecItemUpdate and SecItemDelete take: every attribute that is set must match;
// unset ones match anything. As on the platform, a query without `synchronizable` finds only items that
// are not synchronizable.
struct KeychainQuery {
    static constexpr std::size_t kMatchLimitAll = 0;

    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> accessGroup;
    std::optional<std::string> label;
    std::optional<KeychainAccessibility> accessible;
    KeychainSynchronizable synchronizable = KeychainSynchronizable::no;
    bool useDataProtectionKeychain = false;
    // How many items a copy returns at most (kMatchLimitAll: every match); update and delete take all.
    std::size_t matchLimit = 1;

    bool matches(const KeychainItem& item) const;
};

// The attributes SecItemUpdate changes on each matching item; unset ones stay.
struct KeychainItemChanges {
    std::optional<Data> data;
    std::optional<KeychainAccessibility> accessible;
    std::optional<std::string> label;
};

}  // namespace brisko::platform
