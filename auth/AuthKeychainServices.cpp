// The identity client's keychain store.
#include "auth/AuthKeychainServices.hpp"

#include "auth/AuthLog.hpp"
#include "auth/backend/AuthErrorUtils.hpp"

namespace brisko::auth {

namespace {
// At most two matches, so that a second one can be seen.
constexpr std::size_t kReadMatchLimit = 2;

std::string describeItems(const std::vector<platform::KeychainItem>& items) {
    // Names the items without their data: the data is a stored user with its tokens.
    std::string out = "(";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += "{acct = " + items[i].account.value_or("") + "; svce = " + items[i].service.value_or("") + "}";
    }
    return out + ")";
}
}  // namespace

AuthKeychainServices::AuthKeychainServices(std::string service, std::shared_ptr<AuthKeychainStorage> storage)
    : service_(std::move(service)), keychainStorage_(std::move(storage)), legacyEntryDeletedForKey_({}) {}

platform::KeychainQuery AuthKeychainServices::itemQuery(std::string_view key) const {
    if (key.empty()) platform::fatal(kEmptyKeychainKeyMessage);
    platform::KeychainQuery query;
    query.account = std::string(kKeychainAccountPrefix) + std::string(key);
    query.service = service_;
    query.useDataProtectionKeychain = true;
    return query;
}

platform::KeychainQuery AuthKeychainServices::legacyQuery(std::string_view key) {
    platform::KeychainQuery query;
    query.account = std::string(key);
    return query;
}

std::optional<platform::Data> AuthKeychainServices::readItem(const platform::KeychainQuery& itemQuery) {
    auto query = itemQuery;
    query.matchLimit = kReadMatchLimit;
    std::vector<platform::KeychainItem> items;
    const auto status = keychainStorage_->get(query, items);
    if (status == platform::errSecItemNotFound) return std::nullopt;
    if (status != platform::errSecSuccess || items.empty()) {
        throw platform::ErrorException(AuthErrorUtils::keychainError(kSecItemCopyMatching, status));
    }
    if (items.size() > 1) {
        authLog(kLogLevelWarning, kLogCodeKeychainMultipleResults,
                std::string(kKeychainMultipleResultsMessage) + describeItems(items));
    }
    const platform::KeychainItem* chosen = &items.front();
    for (const auto& item : items) {
        if (item.service) {
            chosen = &item;
            break;
        }
    }
    return chosen->data;
}

std::optional<platform::Data> AuthKeychainServices::readData(std::string_view key) {
    if (auto data = readItem(itemQuery(key))) return data;
    const bool legacyDealtWith = legacyEntryDeletedForKey_.value().contains(key);
    if (legacyDealtWith) return std::nullopt;
    auto legacy = readItem(legacyQuery(key));
    if (legacy) {
        writeData(*legacy, itemQuery(key));
        deleteLegacyItem(key);
        return legacy;
    }
    legacyEntryDeletedForKey_.withLock([&](auto& keys) { keys.emplace(key); });
    return std::nullopt;
}

void AuthKeychainServices::writeData(const platform::Data& data, const platform::KeychainQuery& query) {
    auto item = keychainItemForQuery(query);
    item.data = data;
    item.accessible = platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    auto status = keychainStorage_->add(item);
    std::string_view function = kSecItemAdd;
    if (status == platform::errSecDuplicateItem) {
        function = kSecItemUpdate;
        platform::KeychainItemChanges changes;
        changes.data = data;
        changes.accessible = platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
        status = keychainStorage_->update(query, changes);
    }
    if (status != platform::errSecSuccess) {
        throw platform::ErrorException(AuthErrorUtils::keychainError(function, status));
    }
}

void AuthKeychainServices::removeData(std::string_view key) {
    const auto status = keychainStorage_->deleteItem(itemQuery(key));
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
        throw platform::ErrorException(AuthErrorUtils::keychainError(kSecItemDelete, status));
    }
    deleteLegacyItem(key);
}

void AuthKeychainServices::deleteLegacyItem(std::string_view key) {
    if (legacyEntryDeletedForKey_.value().contains(key)) return;
    (void)keychainStorage_->deleteItem(legacyQuery(key));
    legacyEntryDeletedForKey_.withLock([&](auto& keys) { keys.emplace(key); });
}

}  // namespace brisko::auth
