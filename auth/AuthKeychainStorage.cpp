// The identity client's keychain calls over the platform keychain.
#include "auth/AuthKeychainStorage.hpp"

namespace brisko::auth {

std::shared_ptr<AuthKeychainStorageReal> AuthKeychainStorageReal::shared() {
    static const auto instance = std::make_shared<AuthKeychainStorageReal>();
    return instance;
}

AuthKeychainStorageReal::AuthKeychainStorageReal(std::shared_ptr<platform::Keychain> keychain)
    : keychain_(std::move(keychain)) {}

std::shared_ptr<platform::Keychain> AuthKeychainStorageReal::keychain() {
    std::call_once(once_, [this] {
        if (!keychain_) keychain_ = platform::Keychain::defaultKeychain();
    });
    return keychain_;
}

platform::OSStatus AuthKeychainStorageReal::get(const platform::KeychainQuery& query,
                                                std::vector<platform::KeychainItem>& result) {
    return keychain()->copyMatching(query, result);
}

platform::OSStatus AuthKeychainStorageReal::add(const platform::KeychainItem& item) {
    return keychain()->add(item);
}

platform::OSStatus AuthKeychainStorageReal::update(const platform::KeychainQuery& query,
                                                   const platform::KeychainItemChanges& attributes) {
    return keychain()->update(query, attributes);
}

platform::OSStatus AuthKeychainStorageReal::deleteItem(const platform::KeychainQuery& query) {
    return keychain()->deleteItems(query);
}

platform::KeychainItem keychainItemForQuery(const platform::KeychainQuery& query) {
    platform::KeychainItem item;
    item.service = query.service;
    item.account = query.account;
    item.accessGroup = query.accessGroup;
    item.label = query.label;
    item.accessible = query.accessible;
    item.synchronizable = query.synchronizable == platform::KeychainSynchronizable::yes;
    item.dataProtectionKeychain = query.useDataProtectionKeychain;
    return item;
}

}  // namespace brisko::auth
