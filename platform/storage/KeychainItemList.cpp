// Matching, duplicate and update rules of generic-password items, and their stored form.
#include "platform/storage/KeychainItemList.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace brisko::platform {
namespace {

constexpr std::array<std::pair<KeychainAccessibility, std::string_view>, 5> kAccessibilityCodes = {{
    {KeychainAccessibility::whenUnlocked, "ak"},
    {KeychainAccessibility::afterFirstUnlock, "ck"},
    {KeychainAccessibility::whenUnlockedThisDeviceOnly, "aku"},
    {KeychainAccessibility::afterFirstUnlockThisDeviceOnly, "cku"},
    {KeychainAccessibility::whenPasscodeSetThisDeviceOnly, "akpu"},
}};

constexpr int kStoredVersion = 1;

bool attributeMatches(const std::optional<std::string>& wanted, const std::optional<std::string>& actual) {
    return !wanted || wanted == actual;
}

void putText(Dictionary& d, const char* key, const std::optional<std::string>& v) {
    if (v) d[key] = *v;
}

std::optional<std::string> text(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it != d.end() && it->second.string()) return *it->second.string();
    return std::nullopt;
}

}  // namespace

std::string_view keychainAccessibilityCode(KeychainAccessibility a) {
    for (auto& [value, code] : kAccessibilityCodes) {
        if (value == a) return code;
    }
    return {};
}

std::optional<KeychainAccessibility> keychainAccessibilityFromCode(std::string_view code) {
    for (auto& [value, c] : kAccessibilityCodes) {
        if (c == code) return value;
    }
    return std::nullopt;
}

bool KeychainItem::samePrimaryKey(const KeychainItem& other) const {
    return service == other.service && account == other.account && accessGroup == other.accessGroup &&
           synchronizable == other.synchronizable && dataProtectionKeychain == other.dataProtectionKeychain;
}

bool KeychainQuery::matches(const KeychainItem& item) const {
    if (useDataProtectionKeychain != item.dataProtectionKeychain) return false;
    if (synchronizable == KeychainSynchronizable::no && item.synchronizable) return false;
    if (synchronizable == KeychainSynchronizable::yes && !item.synchronizable) return false;
    if (accessible && accessible != item.accessible) return false;
    return attributeMatches(service, item.service) && attributeMatches(account, item.account) &&
           attributeMatches(accessGroup, item.accessGroup) && attributeMatches(label, item.label);
}

OSStatus KeychainItemList::copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& out) const {
    out.clear();
    for (const auto& item : items) {
        if (!query.matches(item)) continue;
        out.push_back(item);
        if (query.matchLimit != KeychainQuery::kMatchLimitAll && out.size() >= query.matchLimit) break;
    }
    return out.empty() ? errSecItemNotFound : errSecSuccess;
}

OSStatus KeychainItemList::add(const KeychainItem& item, Date now) {
    if (std::any_of(items.begin(), items.end(), [&](const auto& i) { return i.samePrimaryKey(item); })) {
        return errSecDuplicateItem;
    }
    KeychainItem stored = item;
    stored.creationDate = now;
    stored.modificationDate = now;
    items.push_back(std::move(stored));
    return errSecSuccess;
}

OSStatus KeychainItemList::update(const KeychainQuery& query, const KeychainItemChanges& changes, Date now) {
    bool any = false;
    for (auto& item : items) {
        if (!query.matches(item)) continue;
        any = true;
        if (changes.data) item.data = *changes.data;
        if (changes.accessible) item.accessible = changes.accessible;
        if (changes.label) item.label = changes.label;
        item.modificationDate = now;
    }
    return any ? errSecSuccess : errSecItemNotFound;
}

OSStatus KeychainItemList::deleteItems(const KeychainQuery& query) {
    auto removed = std::erase_if(items, [&](const auto& i) { return query.matches(i); });
    return removed > 0 ? errSecSuccess : errSecItemNotFound;
}

Value KeychainItemList::toValue() const {
    Array list;
    for (const auto& item : items) {
        Dictionary d;
        putText(d, "service", item.service);
        putText(d, "account", item.account);
        putText(d, "accessGroup", item.accessGroup);
        putText(d, "label", item.label);
        if (item.accessible) d["accessible"] = std::string(keychainAccessibilityCode(*item.accessible));
        d["synchronizable"] = item.synchronizable;
        d["dataProtectionKeychain"] = item.dataProtectionKeychain;
        d["data"] = item.data;
        if (item.creationDate) d["creationDate"] = *item.creationDate;
        if (item.modificationDate) d["modificationDate"] = *item.modificationDate;
        list.push_back(std::move(d));
    }
    return Dictionary{{"version", kStoredVersion}, {"items", std::move(list)}};
}

std::optional<KeychainItemList> KeychainItemList::fromValue(const Value& value) {
    const Value* version = value.find("version");
    const Value* list = value.find("items");
    if (!version || version->integer() != kStoredVersion || !list || !list->array()) return std::nullopt;
    KeychainItemList out;
    for (const Value& entry : *list->array()) {
        const Dictionary* d = entry.dictionary();
        const Value* data = entry.find("data");
        if (!d || !data || !data->data()) return std::nullopt;
        KeychainItem item;
        item.service = text(*d, "service");
        item.account = text(*d, "account");
        item.accessGroup = text(*d, "accessGroup");
        item.label = text(*d, "label");
        if (auto code = text(*d, "accessible")) item.accessible = keychainAccessibilityFromCode(*code);
        if (const Value* v = entry.find("synchronizable")) item.synchronizable = v->boolean().value_or(false);
        if (const Value* v = entry.find("dataProtectionKeychain"))
            item.dataProtectionKeychain = v->boolean().value_or(false);
        item.data = *data->data();
        if (const Value* v = entry.find("creationDate")) item.creationDate = v->date();
        if (const Value* v = entry.find("modificationDate")) item.modificationDate = v->date();
        out.items.push_back(std::move(item));
    }
    return out;
}

}  // namespace brisko::platform
