// Ezevar's hosts, overridable for local stand-ins.
#include "signin/SignInPreferences.hpp"

#include <cstdlib>
#include <mutex>

#include "platform/base/Text.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kVersionTagFormat = "eid-%@";
constexpr std::string_view kEnvironmentTag = "macos";
constexpr std::string_view kAuthorizationServer = "accounts.ezevar.com";
constexpr std::string_view kTokenServer = "oauth2.ezevarapis.com";
constexpr std::string_view kUserInfoServer = "www.ezevarapis.com";
constexpr std::string_view kAPIServer = "www.ezevarapis.com";

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::optional<std::string>& overrideHost() {
    static std::optional<std::string> host = []() -> std::optional<std::string> {
        const char* env = std::getenv(std::string(SignInPreferences::kServerOverrideEnvironmentVariable).c_str());
        if (env && *env) return std::string(env);
        return std::nullopt;
    }();
    return host;
}

std::string hostOr(std::string_view real) {
    std::lock_guard lock(overrideMutex());
    return overrideHost() ? *overrideHost() : std::string(real);
}
}  // namespace

std::string versionTag() {
    return platform::format(kVersionTagFormat, {std::string(kLibraryVersion)});
}

std::string environmentTag() {
    return std::string(kEnvironmentTag);
}

std::string SignInPreferences::ezevarAuthorizationServer() {
    return hostOr(kAuthorizationServer);
}
std::string SignInPreferences::ezevarTokenServer() {
    return hostOr(kTokenServer);
}
std::string SignInPreferences::ezevarUserInfoServer() {
    return hostOr(kUserInfoServer);
}
std::string SignInPreferences::ezevarAPIServer() {
    return hostOr(kAPIServer);
}
platform::URL SignInPreferences::ezevarIssuer() {
    return *platform::URL::parse("https://" + ezevarAuthorizationServer());
}

void SignInPreferences::setServerOverride(std::optional<std::string> hostAndPort) {
    std::lock_guard lock(overrideMutex());
    overrideHost() = std::move(hostAndPort);
}

}  // namespace brisko::signin
