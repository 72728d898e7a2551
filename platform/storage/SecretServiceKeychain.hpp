// The keychain backed by the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/storage/Keychain.hpp"

namespace brisko::platform {

// Items are stored under the schema "com.brisko.desktop.GenericPassword" with the attributes "service",
// "account", "accessGroup", "accessible", "synchronizable" and "keychain"; the label is the item's label
// (else its service or account), the secret its data. A locked collection is unlocked on demand, which
// may show the desktop's unlock prompt; a refused prompt gives errSecInteractionNotAllowed.
class SecretServiceKeychain : public Keychain {
  public:
    static constexpr std::string_view kSchemaName = "com.brisko.desktop.GenericPassword";

    // Connects to the session's Secret Service; nullptr with the reason when none answers.
    static std::shared_ptr<SecretServiceKeychain> connect(std::string& whyNot);
    ~SecretServiceKeychain() override;

    OSStatus copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) override;
    OSStatus add(const KeychainItem& item) override;
    OSStatus update(const KeychainQuery& query, const KeychainItemChanges& changes) override;
    OSStatus deleteItems(const KeychainQuery& query) override;
    std::string_view backendName() const override { return "Secret Service"; }

  private:
    struct Service;
    explicit SecretServiceKeychain(std::unique_ptr<Service> service);

    // libsecret's synchronous calls are made one at a time.
    std::mutex mutex_;
    std::unique_ptr<Service> service_;
};

}  // namespace brisko::platform
