// The keychain's rules (matching, duplicates, dates) over a plain list of items, shared by the file and
// memory backends, and the list's property-list form.
#pragma once

#include <optional>
#include <vector>

#include "platform/storage/Keychain.hpp"

namespace brisko::platform {

struct KeychainItemList {
    std::vector<KeychainItem> items;

    OSStatus copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& out) const;
    OSStatus add(const KeychainItem& item, Date now);
    OSStatus update(const KeychainQuery& query, const KeychainItemChanges& changes, Date now);
    OSStatus deleteItems(const KeychainQuery& query);

    // {"version": 1, "items": [{"service": ..., "data": <data>, ...}]}
    Value toValue() const;
    // Nothing when the value is not such a list.
    static std::optional<KeychainItemList> fromValue(const Value& value);
};

}  // namespace brisko::platform
