// Keychain status texts and the choice of the process's keychain backend.
#include "platform/storage/Keychain.hpp"

#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/storage/FileKeychain.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/KeychainSelection.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/SecretServiceKeychain.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {
namespace {

std::mutex defaultMutex;
std::shared_ptr<Keychain> defaultInstance;

// How long to wait before asking the Secret Service a second time; at login it may start after us.
constexpr std::chrono::milliseconds kSecretServiceRetryDelay{1500};

}  // namespace

std::string Keychain::statusMessage(OSStatus status) {
    switch (status) {
        case errSecSuccess:
            return "No error.";
        case errSecUnimplemented:
            return "Function or operation not implemented.";
        case errSecIO:
            return "I/O error (bummers)";
        case errSecParam:
            return "One or more parameters passed to a function were not valid.";
        case errSecAllocate:
            return "Failed to allocate memory.";
        case errSecUserCanceled:
            return "User canceled the operation.";
        case errSecNotAvailable:
            return "No keychain is available. You may need to restart your computer.";
        case errSecDuplicateItem:
            return "The specified item already exists in the keychain.";
        case errSecItemNotFound:
            return "The specified item could not be found in the keychain.";
        case errSecInteractionNotAllowed:
            return "User interaction is not allowed.";
        case errSecDecode:
            return "Unable to decode the provided data.";
        case errSecMissingEntitlement:
            return "A required entitlement isn't present.";
        default:
            return {};
    }
}

Error Keychain::statusError(OSStatus status, std::string_view function) {
    std::string message = statusMessage(status);
    if (message.empty()) message = format("OSStatus %d", {status});
    if (!function.empty()) message = format("%@ (%d) %@", {function, status, message});
    return Error(std::string(kOSStatusErrorDomain), status,
                 {{std::string(kLocalizedDescriptionKey), message}});
}

std::shared_ptr<Keychain> Keychain::defaultKeychain() {
    std::lock_guard lock(defaultMutex);
    if (defaultInstance) return defaultInstance;
    const char* chosen = std::getenv(std::string(kBackendEnvironmentVariable).c_str());
    std::string_view backend = chosen ? chosen : "";
    if (backend == "file") {
        defaultInstance = std::make_shared<FileKeychain>(FileKeychain::defaultPath());
    } else if (backend == "memory") {
        defaultInstance = std::make_shared<InMemoryKeychain>();
    } else {
        defaultInstance = KeychainSelection::choose(
            [](std::string& whyNot) -> std::shared_ptr<Keychain> {
                return SecretServiceKeychain::connect(whyNot);
            },
            std::make_shared<FileKeychain>(FileKeychain::defaultPath()),
            [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }, kSecretServiceRetryDelay);
    }
    return defaultInstance;
}

void Keychain::setDefaultKeychain(std::shared_ptr<Keychain> keychain) {
    std::lock_guard lock(defaultMutex);
    defaultInstance = std::move(keychain);
}

}  // namespace brisko::platform
