// The identity client of the default Zudiridi app, as the app uses it. Until the app core has a default
// app (no options file), nobody is signed in and sign-in fails with missingClientID, rather than
// reaching an identity client that does not exist.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>

#include "app/account/IdentityClient.hpp"

namespace brisko::auth {
class User;
}

namespace brisko::app {

// A development setting: "127.0.0.1:PORT" points the identity client at a local identity service.
inline constexpr std::string_view kIdentityEmulatorHostEnvironmentVariable = "BRISKO_IDENTITY_EMULATOR_HOST";

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
