// The user stored in a keychain access group.
#include "auth/AuthStoredUserManager.hpp"

#include "auth/User.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

namespace {
constexpr std::size_t kReadMatchLimit = 2;

platform::ErrorException keychainFailure(std::string_view function, platform::OSStatus status) {
    return platform::ErrorException(AuthErrorUtils::keychainError(function, status));
}

platform::KeychainAccessibility accessibility(bool shared) {
    return shared ? platform::KeychainAccessibility::afterFirstUnlock
                  : platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
}
}  // namespace

AuthStoredUserManager::AuthStoredUserManager(std::shared_ptr<AuthKeychainServices> keychainServices,
                                             std::shared_ptr<AuthUserDefaults> userDefaults)
    : keychainServices_(std::move(keychainServices)), userDefaults_(std::move(userDefaults)) {}

platform::KeychainQuery AuthStoredUserManager::storedUserQuery(std::string_view accessGroup, bool shared,
                                                               std::string_view projectIdentifier) {
    platform::KeychainQuery query;
    query.accessGroup = std::string(accessGroup);
    query.service = std::string(projectIdentifier);
    query.account = std::string(kStoredUserAccount);
    query.useDataProtectionKeychain = true;
    if (shared) query.synchronizable = platform::KeychainSynchronizable::yes;
    return query;
}

std::optional<platform::Data> AuthStoredUserManager::readStoredUserItem(const platform::KeychainQuery& itemQuery) {
    auto query = itemQuery;
    query.matchLimit = kReadMatchLimit;
    std::vector<platform::KeychainItem> items;
    const auto status = keychainServices_->keychainStorage()->get(query, items);
    if (status == platform::errSecItemNotFound) return std::nullopt;
    // Anything but exactly one item is an error: two stored users cannot both be the one.
    if (status != platform::errSecSuccess || items.size() != 1) throw keychainFailure(kSecItemCopyMatching, status);
    return items.front().data;
}

AuthStoredUserManager::StoreOutcome AuthStoredUserManager::storeStoredUserItem(const platform::Data& data,
                                                                               const platform::KeychainQuery& query) {
    const auto existing = readStoredUserItem(query);
    if (existing) {
        platform::KeychainItemChanges changes;
        changes.data = data;
        return {kSecItemUpdate, keychainServices_->keychainStorage()->update(query, changes)};
    }
    auto item = keychainItemForQuery(query);
    item.data = data;
    return {kSecItemAdd, keychainServices_->keychainStorage()->add(item)};
}

std::shared_ptr<User> AuthStoredUserManager::loadStoredUser(std::string_view accessGroup,
                                                            bool shareAuthStateAcrossDevices,
                                                            std::string_view projectIdentifier) {
    const auto query = storedUserQuery(accessGroup, shareAuthStateAcrossDevices, projectIdentifier);
    const auto data = readStoredUserItem(query);
    if (!data) return nullptr;
    platform::KeyedUnarchiver unarchiver(*data);
    return unarchiver.decodeObjectOfClass<User>(kStoredUserCoderKey);
}

void AuthStoredUserManager::saveStoredUser(const std::shared_ptr<User>& user, std::string_view accessGroup,
                                           bool shareAuthStateAcrossDevices, std::string_view projectIdentifier) {
    auto query = storedUserQuery(accessGroup, shareAuthStateAcrossDevices, projectIdentifier);
    query.accessible = accessibility(shareAuthStateAcrossDevices);

    platform::KeyedArchiver archiver(false);
    archiver.encodeObject(user, kStoredUserCoderKey);
    const auto data = archiver.encodedData();

    auto outcome = storeStoredUserItem(data, query);
    // An item written earlier with the shared accessibility blocks the add: replace it once.
    if (!shareAuthStateAcrossDevices && outcome.function == kSecItemAdd &&
        outcome.status == platform::errSecDuplicateItem) {
        auto stale = query;
        stale.accessible = platform::KeychainAccessibility::afterFirstUnlock;
        const auto status = keychainServices_->keychainStorage()->deleteItem(stale);
        if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
            throw keychainFailure(kSecItemDelete, status);
        }
        outcome = storeStoredUserItem(data, query);
    }
    if (outcome.status != platform::errSecSuccess) throw keychainFailure(outcome.function, outcome.status);
}

void AuthStoredUserManager::deleteStoredUser(std::string_view accessGroup, bool shareAuthStateAcrossDevices,
                                             std::string_view projectIdentifier) {
    auto query = storedUserQuery(accessGroup, shareAuthStateAcrossDevices, projectIdentifier);
    query.accessible = accessibility(shareAuthStateAcrossDevices);
    const auto status = keychainServices_->keychainStorage()->deleteItem(query);
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
        throw keychainFailure(kSecItemDelete, status);
    }
}

std::optional<std::string> AuthStoredUserManager::getStoredUserAccessGroup() const {
    auto data = userDefaults_->readData(kStoredUserAccessGroupKey);
    if (!data) return std::nullopt;
    auto text = platform::toString(*data);
    if (!platform::isValidUTF8(text)) return std::nullopt;
    return text;
}

void AuthStoredUserManager::setStoredUserAccessGroup(const std::optional<std::string>& accessGroup) {
    if (accessGroup) {
        userDefaults_->writeData(platform::toData(*accessGroup), kStoredUserAccessGroupKey);
    } else {
        userDefaults_->deleteData(kStoredUserAccessGroupKey);
    }
}

}  // namespace brisko::auth
