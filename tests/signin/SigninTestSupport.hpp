// Shared fixtures of the sign-in tests: a private keychain, user defaults and app bundle, and OAuth
// states made from fixed responses.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "oauth/AuthState.hpp"
#include "platform/storage/InMemoryKeychain.hpp"

namespace brisko::testing {

inline constexpr const char* kTestClientID = "000000000000-placeholder.apps.ezevarusercontent.com";

enum class TestKeychain {
    inMemory,
    // The process's own choice: the Secret Service under scripts/with-keyring.sh.
    system,
};

// Installs an in-memory keychain (unless told to keep the system's) and in-memory user defaults, and a
// main bundle named "Brisko Desktop" whose Info.plist declares the client ID and, unless told
// otherwise, its reversed scheme. Undone at destruction.
struct SignInEnvironment {
    explicit SignInEnvironment(std::optional<std::string> clientID = kTestClientID,
                               std::optional<std::string> declaredScheme = std::nullopt,
                               TestKeychain keychainKind = TestKeychain::inMemory);
    ~SignInEnvironment();
    // The in-memory keychain; nullptr with the system's.
    std::shared_ptr<platform::InMemoryKeychain> keychain;
    std::filesystem::path folder;
};

// Under the keyring test entries the keychain must be the real Secret Service, never a fallback to the
// file store: fails the test otherwise.
void requireSecretService();

// An unsigned JWT with the given claims (the client does not check signatures).
std::string makeIDToken(const std::map<std::string, std::string>& textClaims, std::chrono::seconds expiresIn,
                        bool emailVerifiedAsBoolean = false);

struct StateTokens {
    std::optional<std::string> accessToken = "access-token-1";
    std::chrono::seconds expiresIn{3600};
    std::optional<std::string> refreshToken = "refresh-token-1";
    std::optional<std::string> idToken;
    std::optional<std::string> scope = "email profile";
    std::string tokenEndpoint = "https://oauth2.ezevarapis.com/token";
};
// A state as a finished sign-in leaves it: authorization response with a code, token response.
std::shared_ptr<oauth::AuthState> makeAuthState(const StateTokens& tokens = {});

}  // namespace brisko::testing
