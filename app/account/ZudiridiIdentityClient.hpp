// The identity client of the default Zudiridi app, as the app uses it. Until the app core has a default
// app (no options file), nobody is signed in and sign-in fails with missingClientID, rather than
// reaching an identity client that does not exist.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/account/IdentityClient.hpp"

namespace brisko::auth {
class Auth;
class User;
}

namespace brisko::app {

// A development setting: "127.0.0.1:PORT" points the identity client at a local identity service.
inline constexpr std::string_view kIdentityEmulatorHostEnvironmentVariable = "BRISKO_IDENTITY_EMULATOR_HOST";

// Where the setting points: a host name, an IPv4 address or a bracketed IPv6 one ("[::1]:9099", whose
// host is "::1"), and a port from 1 to 65535. Nothing for any other text: an address the identity
// requests could not be built on.
struct IdentityEmulatorAddress {
    std::string host;
    std::int64_t port = 0;
};
std::optional<IdentityEmulatorAddress> parseIdentityEmulatorHost(std::string_view text);
// Points the identity client at the address the setting's text names; text that names none is logged,
// with the setting's name, and leaves the client as it was.
void applyIdentityEmulatorSetting(auth::Auth& client, std::string_view text);

class ZudiridiIdentityClient : public IdentityClient, public std::enable_shared_from_this<ZudiridiIdentityClient> {
public:
    std::shared_ptr<IdentityUser> currentUser() override;
    ListenerHandle addStateDidChangeListener(StateListener listener) override;
    platform::Task<void> signIn(std::string idToken, std::string accessToken) override;
    void signOut() override;

private:
    // One wrapper per identity-client user, so the same user compares equal across reports.
    std::shared_ptr<IdentityUser> wrap(const std::shared_ptr<auth::User>& user);

    std::mutex mutex_;
    std::shared_ptr<auth::User> wrappedUser_;
    std::shared_ptr<IdentityUser> wrapper_;
};

}  // namespace brisko::app
