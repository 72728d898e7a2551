// Keychain item calls with the keychain storage's error values.
#include "core/KeychainUtils.hpp"

#include "platform/base/Text.hpp"

namespace brisko::core {

platform::KeychainQuery KeychainUtils::multiplatformQueryWithQuery(platform::KeychainQuery query) {
    query.useDataProtectionKeychain = true;
    return query;
}

platform::Error KeychainUtils::keychainErrorWithFunction(std::string_view function,
                                                         platform::OSStatus status) {
    return platform::Error(std::string(kKeychainUtilsErrorDomain), 0,
                           {{std::string(platform::kLocalizedFailureReasonErrorKey),
                             platform::format("%@ (%li)", {function, static_cast<long>(status)})}});
}

std::optional<platform::Data> KeychainUtils::getItemWithQuery(platform::Keychain& keychain,
                                                              const platform::KeychainQuery& query,
                                                              std::optional<platform::Error>& error) {
    auto q = multiplatformQueryWithQuery(query);
    q.matchLimit = 1;
    std::vector<platform::KeychainItem> items;
    const auto status = keychain.copyMatching(q, items);
    if (status == platform::errSecSuccess && !items.empty()) return items.front().data;
    if (status == platform::errSecItemNotFound) return std::nullopt;
    error = keychainErrorWithFunction("SecItemCopyMatching", status);
    return std::nullopt;
}

bool KeychainUtils::setItem(platform::Keychain& keychain, const platform::Data& data,
                            const platform::KeychainQuery& query, std::optional<platform::Error>& error) {
    const auto q = multiplatformQueryWithQuery(query);
    std::optional<platform::Error> readError;
    const auto existing = getItemWithQuery(keychain, q, readError);
    if (readError) {
        error = std::move(readError);
        return false;
    }
    if (existing) {
        const auto status = keychain.update(q, platform::KeychainItemChanges{.data = data});
        if (status != platform::errSecSuccess) {
            error = keychainErrorWithFunction("SecItemUpdate", status);
            return false;
        }
        return true;
    }
    platform::KeychainItem item;
    item.service = q.service;
    item.account = q.account;
    item.accessGroup = q.accessGroup;
    item.dataProtectionKeychain = true;
    item.accessible = platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    item.data = data;
    const auto status = keychain.add(item);
    if (status != platform::errSecSuccess) {
        error = keychainErrorWithFunction("SecItemAdd", status);
        return false;
    }
    return true;
}

bool KeychainUtils::removeItemWithQuery(platform::Keychain& keychain, const platform::KeychainQuery& query,
                                        std::optional<platform::Error>& error) {
    auto q = multiplatformQueryWithQuery(query);
    q.matchLimit = platform::KeychainQuery::kMatchLimitAll;
    const auto status = keychain.deleteItems(q);
    if (status == platform::errSecSuccess || status == platform::errSecItemNotFound) return true;
    error = keychainErrorWithFunction("SecItemDelete", status);
    return false;
}

}  // namespace brisko::core
