// The errors of the authorization-session keychain store and its keychain calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/storage/Keychain.hpp"

namespace brisko::signin {

inline constexpr std::string_view kKeychainStoreErrorDomain = "ETMOAuthClientKeychainErrorDomain";
inline constexpr std::string_view kKeychainStoreStatusKey = "status";
inline constexpr std::string_view kKeychainStoreItemNameKey = "itemName";
inline constexpr std::string_view kKeychainStoreAuthSessionKey = "authSession";
inline constexpr std::string_view kKeychainStoreRedirectURIKey = "redirectURI";

enum class KeychainStoreErrorCode : std::int64_t {
    unhandled = 0,
    passwordNotFound = 1,
    noService = 2,
    unexpectedPasswordData = 3,
    failedToCreateResponseStringFromAuthSession = 4,
    failedToConvertRedirectURItoURL = 5,
    failedToConvertAuthSessionToData = 6,
    failedToConvertKeychainDataToAuthSession = 7,
    failedToDeletePassword = 8,
    failedToDeletePasswordBecauseItemNotFound = 9,
    failedToSetPassword = 10,
};

// The code of a raw value 0 to 10; nothing for any other.
std::optional<KeychainStoreErrorCode> keychainStoreErrorCode(std::int64_t raw);

struct KeychainStoreError {
    static platform::Error unhandled(platform::OSStatus status);
    static platform::Error withItemName(KeychainStoreErrorCode code, const std::string& itemName);
    static platform::Error noService();
    static platform::Error failedToConvertRedirectURItoURL(const std::string& redirectURI);
    static platform::Error failedToConvertAuthSessionToData();
    // The session goes into the user info as an object.
    static platform::Error failedToCreateResponseStringFromAuthSession(platform::Value session);
};

}  // namespace brisko::signin
