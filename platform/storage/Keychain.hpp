// The keychain: generic-password items added, found, changed and deleted with the platform's status codes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.hpp"
#include "platform/storage/KeychainItem.hpp"

namespace brisko::platform {

using OSStatus = std::int32_t;

// The platform's keychain status codes.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

// One keychain. Backends: the Secret Service (SecretServiceKeychain), a private file when no Secret
// Service runs (FileKeychain), memory for tests (InMemoryKeychain). Every operation is synchronous and
// thread-safe.
class Keychain {
  public:
    virtual ~Keychain() = default;

    // SecItemCopyMatching: the matching items (data and attributes), oldest first, at most the query's
    // match limit; errSecItemNotFound when none match.
    virtual OSStatus copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) = 0;
    // SecItemAdd: errSecDuplicateItem when an item with the same primary key exists.
    virtual OSStatus add(const KeychainItem& item) = 0;
    // SecItemUpdate: changes every matching item; errSecItemNotFound when none match.
    virtual OSStatus update(const KeychainQuery& query, const KeychainItemChanges& changes) = 0;
    // SecItemDelete: deletes every matching item; errSecItemNotFound when none match.
    virtual OSStatus deleteItems(const KeychainQuery& query) = 0;

    // "Secret Service", "file" or "memory", for log lines.
    virtual std::string_view backendName() const = 0;

    // Picks the backend: "file" or "memory" skip the Secret Service (headless runs, tests of the app).
    static constexpr std::string_view kBackendEnvironmentVariable = "BRISKO_KEYCHAIN";

    // The process's keychain: one installed with setDefaultKeychain, else the one $BRISKO_KEYCHAIN
    // names, else the Secret Service when it answers (asked twice, a moment apart, since at login it may
    // start after us; items a previous run left in the file store move into it), else the file store,
    // which the log says. The first call may wait seconds for the Secret Service: make it off the main
    // thread.
    static std::shared_ptr<Keychain> defaultKeychain();
    // Installs a keychain (tests install an InMemoryKeychain); nullptr goes back to choosing.
    static void setDefaultKeychain(std::shared_ptr<Keychain> keychain);

    // The platform's text for a status (SecCopyErrorMessageString); empty for an unknown one.
    static std::string statusMessage(OSStatus status);
    // An error of domain "NSOSStatusErrorDomain" with the status as its code and the message (prefixed
    // with the call's name when given) as its description.
    static Error statusError(OSStatus status, std::string_view function = {});
};

}  // namespace brisko::platform
