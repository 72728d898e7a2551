// Archiving sessions into keychain items and back.
#include "signin/session/KeychainStore.hpp"

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "signin/session/KeychainStoreError.hpp"
#include "signin/session/OAuth2Compatibility.hpp"

namespace brisko::signin {

KeychainStore::KeychainStore(std::string itemName, KeychainAttributeSet attributes,
                             std::shared_ptr<KeychainHelper> helper)
    : keychainHelper_(std::move(helper)), itemName_(std::move(itemName)), keychainAttributes_(std::move(attributes)) {}

KeychainStore::KeychainStore(std::string itemName, KeychainAttributeSet attributes)
    : KeychainStore(std::move(itemName), attributes, std::make_shared<KeychainWrapper>(attributes)) {}

KeychainStore::KeychainStore(std::string itemName, std::shared_ptr<KeychainHelper> helper)
    : KeychainStore(std::move(itemName), helper->keychainAttributes(), helper) {}

KeychainStore::KeychainStore(std::string itemName)
    : KeychainStore(std::move(itemName), std::make_shared<KeychainWrapper>(KeychainAttributeSet{})) {}

bool KeychainStore::usesFileBasedKeychain() const {
    return keychainAttributes_.contains(KeychainAttribute::useFileBasedKeychain());
}

bool KeychainStore::saveAuthSession(const std::shared_ptr<AuthSession>& session, platform::OptionalError& error) {
    return saveAuthSession(session, itemName_, error);
}

bool KeychainStore::saveAuthSession(const std::shared_ptr<AuthSession>& session, std::string_view itemName,
                                    platform::OptionalError& error) {
    platform::Data data;
    try {
        platform::KeyedArchiver archiver(true);
        archiver.setClassName<AuthSession>(kArchivedClassName);
        archiver.encodeObject(session, platform::kKeyedArchiveRootObjectKey);
        data = archiver.encodedData();
    } catch (const platform::ErrorException& e) {
        error = e.error();
        return false;
    }
    std::optional<platform::KeychainAccessibility> accessibility;
    if (!usesFileBasedKeychain()) accessibility = platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    return keychainHelper_->setPasswordWithData(data, itemName, accessibility, error);
}

std::shared_ptr<AuthSession> KeychainStore::retrieveAuthSession(platform::OptionalError& error) {
    return retrieveAuthSession(itemName_, error);
}

std::shared_ptr<AuthSession> KeychainStore::retrieveAuthSession(std::string_view itemName,
                                                                platform::OptionalError& error) {
    auto data = keychainHelper_->passwordDataForService(itemName, error);
    if (!data) return nullptr;
    std::shared_ptr<AuthSession> session;
    try {
        platform::KeyedUnarchiver unarchiver(*data);
        unarchiver.setRequiresSecureCoding(true);
        unarchiver.setClass<AuthSession>(kArchivedClassName);
        session = unarchiver.decodeObjectOfClass<AuthSession>(platform::kKeyedArchiveRootObjectKey);
    } catch (const platform::ErrorException& e) {
        error = e.error();
        return nullptr;
    }
    if (!session) {
        error = KeychainStoreError::withItemName(KeychainStoreErrorCode::failedToConvertKeychainDataToAuthSession,
                                                 std::string(itemName));
    }
    return session;
}

bool KeychainStore::removeAuthSession(platform::OptionalError& error) {
    return removeAuthSession(itemName_, error);
}

bool KeychainStore::removeAuthSession(std::string_view itemName, platform::OptionalError& error) {
    return keychainHelper_->removePasswordForService(itemName, error);
}

bool KeychainStore::saveWithETMOAuth2FormatForAuthSession(const AuthSession& session, platform::OptionalError& error) {
    auto text = OAuth2Compatibility::persistenceResponseStringForAuthSession(session);
    if (!text) {
        error = KeychainStoreError::failedToCreateResponseStringFromAuthSession(
            platform::Value::object(std::const_pointer_cast<AuthSession>(session.shared_from_this())));
        return false;
    }
    if (usesFileBasedKeychain()) return keychainHelper_->setPassword(*text, itemName_, error);
    return keychainHelper_->setPassword(*text, itemName_,
                                        platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly, error);
}

std::shared_ptr<AuthSession> KeychainStore::retrieveAuthSessionInETMOAuth2Format(
    const platform::URL& tokenURL, std::string_view redirectURI, const std::string& clientID,
    const std::optional<std::string>& clientSecret, platform::OptionalError& error) {
    auto text = keychainHelper_->passwordForService(itemName_, error);
    if (!text) return nullptr;
    return OAuth2Compatibility::authSessionForPersistenceString(*text, tokenURL, redirectURI, clientID, clientSecret,
                                                                error);
}

std::shared_ptr<AuthSession> KeychainStore::retrieveAuthSessionForEzevarInETMOAuth2Format(
    const std::string& clientID, const std::optional<std::string>& clientSecret, platform::OptionalError& error) {
    return retrieveAuthSessionInETMOAuth2Format(OAuth2Compatibility::ezevarTokenURL(), kEzevarLegacyRedirectURI,
                                                clientID, clientSecret, error);
}

}  // namespace brisko::signin
