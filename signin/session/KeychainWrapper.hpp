// The keychain calls of the authorization-session store: generic-password items of account "OAuth",
// one a service name, in the process's keychain (Secret Service, else the private file store).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/storage/KeychainItem.hpp"
#include "signin/session/KeychainAttribute.hpp"

namespace brisko::signin {

// What the store needs of the keychain; tests put failing or recording helpers in its place.
class KeychainHelper {
public:
    virtual ~KeychainHelper() = default;
    virtual const std::string& accountName() const = 0;
    virtual const KeychainAttributeSet& keychainAttributes() const = 0;
    virtual std::optional<platform::Data> passwordDataForService(std::string_view service,
                                                                 platform::OptionalError& error) = 0;
    virtual std::optional<std::string> passwordForService(std::string_view service, platform::OptionalError& error) = 0;
    virtual bool removePasswordForService(std::string_view service, platform::OptionalError& error) = 0;
    virtual bool setPassword(std::string_view password, std::string_view service, platform::OptionalError& error) = 0;
    virtual bool setPassword(std::string_view password, std::string_view service,
                             std::optional<platform::KeychainAccessibility> accessibility,
                             platform::OptionalError& error) = 0;
    virtual bool setPasswordWithData(const platform::Data& data, std::string_view service,
                                     std::optional<platform::KeychainAccessibility> accessibility,
                                     platform::OptionalError& error) = 0;
};

class KeychainWrapper : public KeychainHelper {
public:
    static constexpr std::string_view kAccountName = "OAuth";
    // The label of the items it writes, filled with the app's name and the service, so that a user
    // looking through the desktop keyring can tell whose they are.
    static constexpr std::string_view kItemLabelFormat = "%@ sign-in (%@)";

    // Uses the process's keychain, or the one given (tests).
    explicit KeychainWrapper(KeychainAttributeSet attributes, std::shared_ptr<platform::Keychain> keychain = nullptr);

    const std::string& accountName() const override { return accountName_; }
    const KeychainAttributeSet& keychainAttributes() const override { return keychainAttributes_; }

    // Account "OAuth", the service, the data-protection keychain unless the file-based attribute is
    // set, and the access group of an access-group attribute.
    platform::KeychainQuery keychainQueryForService(std::string_view service) const;

    std::optional<platform::Data> passwordDataForService(std::string_view service,
                                                         platform::OptionalError& error) override;
    std::optional<std::string> passwordForService(std::string_view service, platform::OptionalError& error) override;
    bool removePasswordForService(std::string_view service, platform::OptionalError& error) override;
    bool setPassword(std::string_view password, std::string_view service, platform::OptionalError& error) override;
    bool setPassword(std::string_view password, std::string_view service,
                     std::optional<platform::KeychainAccessibility> accessibility,
                     platform::OptionalError& error) override;
    // Replaces the item's data in one step, so a failed write keeps the old item; empty data delete it.
    bool setPasswordWithData(const platform::Data& data, std::string_view service,
                             std::optional<platform::KeychainAccessibility> accessibility,
                             platform::OptionalError& error) override;

    // kItemLabelFormat with the main bundle's "CFBundleName" (else the process's name) and the service.
    static std::string itemLabel(std::string_view service);

    // The keychain the calls go to (the process's, unless one was given).
    std::shared_ptr<platform::Keychain> keychain();

private:
    std::string accountName_{kAccountName};
    KeychainAttributeSet keychainAttributes_;
    std::mutex keychainMutex_;
    std::shared_ptr<platform::Keychain> keychain_;
};

}  // namespace brisko::signin
