// Ezevar's server hosts, and the version and environment tags every sign-in request carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/URL.hpp"

namespace brisko::signin {

inline constexpr std::string_view kVersionTagKey = "epsdk";
inline constexpr std::string_view kEnvironmentTagKey = "eidenv";
inline constexpr std::string_view kLibraryVersion = "9.1.0";

// "eid-9.1.0".
std::string versionTag();
// The environment tag of this platform's library.
std::string environmentTag();

class SignInPreferences {
public:
    // Points every Ezevar host at one "host[:port]" (local stand-ins: tests and `run-app.sh --local`).
    static constexpr std::string_view kServerOverrideEnvironmentVariable = "BRISKO_EZEVAR_SERVER";

    static std::string ezevarAuthorizationServer();
    static std::string ezevarTokenServer();
    static std::string ezevarUserInfoServer();
    // The host of Ezevar's API (the legacy token endpoint and the long-form scope URLs).
    static std::string ezevarAPIServer();
    // The issuer Ezevar's ID tokens name: the authorization server's origin. Every token exchange checks
    // the ID token's "iss" against it.
    static platform::URL ezevarIssuer();

    // Replaces the hosts for this process (nothing goes back to the environment or the real hosts).
    static void setServerOverride(std::optional<std::string> hostAndPort);
};

}  // namespace brisko::signin
