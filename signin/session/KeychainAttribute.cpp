// The shared file-based-keychain attribute.
#include "signin/session/KeychainAttribute.hpp"

namespace brisko::signin {

std::shared_ptr<const KeychainAttribute> KeychainAttribute::useFileBasedKeychain() {
    static const auto shared = std::make_shared<const KeychainAttribute>(UseFileBasedKeychain{});
    return shared;
}

std::shared_ptr<const KeychainAttribute> KeychainAttribute::keychainAccessGroupWithName(std::string name) {
    return std::make_shared<const KeychainAttribute>(AccessGroup{std::move(name)});
}

}  // namespace brisko::signin
