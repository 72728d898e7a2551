// One option of the keychain calls of the authorization-session store: an access group, or the older
// file-based keychain.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <variant>

namespace brisko::signin {

class KeychainAttribute {
public:
    struct AccessGroup {
        std::string name;
    };
    struct UseFileBasedKeychain {};
    using Attribute = std::variant<AccessGroup, UseFileBasedKeychain>;

    explicit KeychainAttribute(Attribute attribute) : attribute_(std::move(attribute)) {}

    // The one shared file-based-keychain attribute.
    static std::shared_ptr<const KeychainAttribute> useFileBasedKeychain();
    // A new access-group attribute on each call.
    static std::shared_ptr<const KeychainAttribute> keychainAccessGroupWithName(std::string name);

    const Attribute& attribute() const { return attribute_; }

private:
    Attribute attribute_;
};

// Attributes compare by identity, so a set may hold two access groups of one name.
using KeychainAttributeSet = std::set<std::shared_ptr<const KeychainAttribute>>;

}  // namespace brisko::signin
