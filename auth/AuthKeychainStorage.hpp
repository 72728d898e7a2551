// The keychain calls the identity client makes, behind an interface so a test can put another keychain in.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/storage/Keychain.hpp"

namespace brisko::auth {

class AuthKeychainStorage {
public:
    virtual ~AuthKeychainStorage() = default;
    virtual platform::OSStatus get(const platform::KeychainQuery& query,
                                   std::vector<platform::KeychainItem>& result) = 0;
    virtual platform::OSStatus add(const platform::KeychainItem& item) = 0;
    virtual platform::OSStatus update(const platform::KeychainQuery& query,
                                      const platform::KeychainItemChanges& attributes) = 0;
    virtual platform::OSStatus deleteItem(const platform::KeychainQuery& query) = 0;
};

// The process's keychain. It is looked up on first use, not at construction: finding the Secret Service
// may take a moment, and the identity client is made on the main thread.
class AuthKeychainStorageReal final : public AuthKeychainStorage {
public:
    static std::shared_ptr<AuthKeychainStorageReal> shared();
    // Over a given keychain (tests); without one, the process's default keychain.
    explicit AuthKeychainStorageReal(std::shared_ptr<platform::Keychain> keychain = nullptr);

    platform::OSStatus get(const platform::KeychainQuery& query, std::vector<platform::KeychainItem>& result) override;
    platform::OSStatus add(const platform::KeychainItem& item) override;
    platform::OSStatus update(const platform::KeychainQuery& query,
                              const platform::KeychainItemChanges& attributes) override;
    platform::OSStatus deleteItem(const platform::KeychainQuery& query) override;

private:
    std::shared_ptr<platform::Keychain> keychain();
    std::once_flag once_;
    std::shared_ptr<platform::Keychain> keychain_;
};

// The item an add creates for a query: the query's attributes (the ones an item has).
platform::KeychainItem keychainItemForQuery(const platform::KeychainQuery& query);

}  // namespace brisko::auth
