// Makes keychain-store errors.
#include "signin/session/KeychainStoreError.hpp"

namespace brisko::signin {

namespace {
platform::Error make(KeychainStoreErrorCode code, platform::Dictionary info = {}) {
    return platform::Error(std::string(kKeychainStoreErrorDomain), static_cast<std::int64_t>(code), std::move(info));
}
}  // namespace

std::optional<KeychainStoreErrorCode> keychainStoreErrorCode(std::int64_t raw) {
    if (raw < 0 || raw > 10) return std::nullopt;
    return static_cast<KeychainStoreErrorCode>(raw);
}

platform::Error KeychainStoreError::unhandled(platform::OSStatus status) {
    return make(KeychainStoreErrorCode::unhandled, {{std::string(kKeychainStoreStatusKey), platform::Value(status)}});
}

platform::Error KeychainStoreError::withItemName(KeychainStoreErrorCode code, const std::string& itemName) {
    return make(code, {{std::string(kKeychainStoreItemNameKey), platform::Value(itemName)}});
}

platform::Error KeychainStoreError::noService() {
    return make(KeychainStoreErrorCode::noService);
}

platform::Error KeychainStoreError::failedToConvertRedirectURItoURL(const std::string& redirectURI) {
    return make(KeychainStoreErrorCode::failedToConvertRedirectURItoURL,
                {{std::string(kKeychainStoreRedirectURIKey), platform::Value(redirectURI)}});
}

platform::Error KeychainStoreError::failedToConvertAuthSessionToData() {
    return make(KeychainStoreErrorCode::failedToConvertAuthSessionToData);
}

platform::Error KeychainStoreError::failedToCreateResponseStringFromAuthSession(platform::Value session) {
    return make(KeychainStoreErrorCode::failedToCreateResponseStringFromAuthSession,
                {{std::string(kKeychainStoreAuthSessionKey), std::move(session)}});
}

}  // namespace brisko::signin
