// The plain keychain calls of the keychain storage: read, write (update or add) and delete one item.
#pragma once

#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/storage/Keychain.hpp"

namespace brisko::core {

inline constexpr std::string_view kKeychainUtilsErrorDomain = "com.eul.keychain.ErrorDomain";

class KeychainUtils {
  public:
    // The item's data; nothing and no error when there is no item; nothing and the error otherwise.
    static std::optional<platform::Data> getItemWithQuery(platform::Keychain& keychain,
                                                          const platform::KeychainQuery& query,
                                                          std::optional<platform::Error>& error);
    // Updates the item's data, or adds it (readable after first unlock, this device only).
    static bool setItem(platform::Keychain& keychain, const platform::Data& data,
                        const platform::KeychainQuery& query, std::optional<platform::Error>& error);
    // Deleting an item that is not there succeeds.
    static bool removeItemWithQuery(platform::Keychain& keychain, const platform::KeychainQuery& query,
                                    std::optional<platform::Error>& error);
    static platform::KeychainQuery multiplatformQueryWithQuery(platform::KeychainQuery query);
    // Code 0 with the failure reason "<function> (<status>)".
    static platform::Error keychainErrorWithFunction(std::string_view function, platform::OSStatus status);
};

}  // namespace brisko::core
