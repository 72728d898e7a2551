// Keychain reads, writes and deletes for the authorization-session store.
#include "signin/session/KeychainWrapper.hpp"

#include "platform/base/Text.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "signin/session/KeychainStoreError.hpp"

namespace brisko::signin {

KeychainWrapper::KeychainWrapper(KeychainAttributeSet attributes, std::shared_ptr<platform::Keychain> keychain)
    : keychainAttributes_(std::move(attributes)), keychain_(std::move(keychain)) {}

namespace {
constexpr std::string_view kBundleNameKey = "CFBundleName";
}  // namespace

std::string KeychainWrapper::itemLabel(std::string_view service) {
    std::string appName;
    if (auto bundle = platform::Bundle::main()) {
        const platform::Value* name = bundle->objectForInfoDictionaryKey(kBundleNameKey);
        if (name && name->string() && !name->string()->empty()) appName = *name->string();
    }
    if (appName.empty()) appName = platform::ProcessInfo::processInfo().processName();
    return platform::format(kItemLabelFormat, {appName, service});
}

std::shared_ptr<platform::Keychain> KeychainWrapper::keychain() {
    std::lock_guard lock(keychainMutex_);
    if (!keychain_) keychain_ = platform::Keychain::defaultKeychain();
    return keychain_;
}

platform::KeychainQuery KeychainWrapper::keychainQueryForService(std::string_view service) const {
    platform::KeychainQuery query;
    query.account = accountName_;
    query.service = std::string(service);
    query.useDataProtectionKeychain = true;
    for (const auto& attribute : keychainAttributes_) {
        if (auto* group = std::get_if<KeychainAttribute::AccessGroup>(&attribute->attribute())) {
            query.accessGroup = group->name;
        } else {
            query.useDataProtectionKeychain = false;
        }
    }
    return query;
}

std::optional<platform::Data> KeychainWrapper::passwordDataForService(std::string_view service,
                                                                      platform::OptionalError& error) {
    if (service.empty()) {
        error = KeychainStoreError::noService();
        return std::nullopt;
    }
    auto query = keychainQueryForService(service);
    query.matchLimit = 1;
    std::vector<platform::KeychainItem> items;
    const platform::OSStatus status = keychain()->copyMatching(query, items);
    if (status == platform::errSecItemNotFound) {
        error = KeychainStoreError::withItemName(KeychainStoreErrorCode::passwordNotFound, std::string(service));
        return std::nullopt;
    }
    if (status != platform::errSecSuccess) {
        error = KeychainStoreError::unhandled(status);
        return std::nullopt;
    }
    if (items.empty()) {
        error = KeychainStoreError::withItemName(KeychainStoreErrorCode::unexpectedPasswordData, std::string(service));
        return std::nullopt;
    }
    return std::move(items.front().data);
}

std::optional<std::string> KeychainWrapper::passwordForService(std::string_view service,
                                                               platform::OptionalError& error) {
    auto data = passwordDataForService(service, error);
    if (!data) return std::nullopt;
    std::string text = platform::toString(*data);
    if (!platform::isValidUTF8(text)) {
        error = KeychainStoreError::withItemName(KeychainStoreErrorCode::unexpectedPasswordData, std::string(service));
        return std::nullopt;
    }
    return text;
}

bool KeychainWrapper::removePasswordForService(std::string_view service, platform::OptionalError& error) {
    if (service.empty()) {
        error = KeychainStoreError::noService();
        return false;
    }
    const platform::OSStatus status = keychain()->deleteItems(keychainQueryForService(service));
    if (status == platform::errSecSuccess) return true;
    error = KeychainStoreError::withItemName(status == platform::errSecItemNotFound
                                                 ? KeychainStoreErrorCode::failedToDeletePasswordBecauseItemNotFound
                                                 : KeychainStoreErrorCode::failedToDeletePassword,
                                             std::string(service));
    return false;
}

bool KeychainWrapper::setPassword(std::string_view password, std::string_view service, platform::OptionalError& error) {
    return setPassword(password, service, std::nullopt, error);
}

bool KeychainWrapper::setPassword(std::string_view password, std::string_view service,
                                  std::optional<platform::KeychainAccessibility> accessibility,
                                  platform::OptionalError& error) {
    return setPasswordWithData(platform::toData(password), service, accessibility, error);
}

bool KeychainWrapper::setPasswordWithData(const platform::Data& data, std::string_view service,
                                          std::optional<platform::KeychainAccessibility> accessibility,
                                          platform::OptionalError& error) {
    if (service.empty()) {
        error = KeychainStoreError::noService();
        return false;
    }
    if (data.empty()) {
        platform::OptionalError removeError;
        if (removePasswordForService(service, removeError)) return true;
        if (removeError->code() ==
            static_cast<std::int64_t>(KeychainStoreErrorCode::failedToDeletePasswordBecauseItemNotFound))
            return true;
        error = std::move(removeError);
        return false;
    }
    // An update replaces the data of the existing item in place: when it fails, the old item is still
    // there. Only a missing item is added.
    const auto query = keychainQueryForService(service);
    platform::KeychainItemChanges changes;
    changes.data = data;
    changes.accessible = accessibility;
    changes.label = itemLabel(service);
    platform::OSStatus status = keychain()->update(query, changes);
    if (status == platform::errSecItemNotFound) {
        platform::KeychainItem item;
        item.service = query.service;
        item.account = query.account;
        item.accessGroup = query.accessGroup;
        item.dataProtectionKeychain = query.useDataProtectionKeychain;
        item.accessible = accessibility;
        item.label = changes.label;
        item.data = data;
        status = keychain()->add(item);
    }
    if (status == platform::errSecSuccess) return true;
    error = KeychainStoreError::withItemName(KeychainStoreErrorCode::failedToSetPassword, std::string(service));
    return false;
}

}  // namespace brisko::signin
