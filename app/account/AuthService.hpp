// The account service: configures the app core and the Ezevar sign-in layer at launch, signs in (Ezevar,
// then Zudiridi), follows the signed-in user, pairs this machine with the companion service on each
// passage from signed out to signed in, unpairs it on request, hands out ID tokens and sends
// authorised JSON requests with one retry after a 401. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/account/EzevarSignInClient.hpp"
#include "app/account/IdentityClient.hpp"
#include "platform/base/Async.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::app {

class AuthService : public std::enable_shared_from_this<AuthService> {
  public:
    using StateChangeHandler = std::function<void(std::shared_ptr<IdentityUser>)>;

    static constexpr std::string_view kPairingPath = "/api/user/desktop-companion";
    static constexpr double kTimeoutSeconds = 60;

    struct Dependencies {
        std::shared_ptr<IdentityClient> identity;
        std::shared_ptr<EzevarSignInClient> ezevar;
        std::shared_ptr<platform::URLSession> session;
        std::string apiBaseURL;
        // The path of "EzevarService-Info.plist" among the app's resources, none when it is missing.
        std::function<std::optional<std::string>()> optionsFilePath;
        // The computer's name as the system gives it (may be empty).
        std::function<std::string()> computerName;
    };

    // The account service of the process, made on first use on the main thread.
    static std::shared_ptr<AuthService> shared();
    static std::shared_ptr<AuthService> make(Dependencies dependencies);

    // Configures the app core from the options file (once per process), the Ezevar client ID, and the
    // identity-state listener.
    void configureZudiridi();
    // Ezevar's interactive sign-in over the window (native id), then the Zudiridi sign-in. The new user
    // arrives through the listener.
    platform::Task<void> signIn(std::uint64_t presentingWindow);
    platform::Task<std::string> getIDToken(bool forceRefresh);
    platform::Task<void> registerDesktopCompanion();
    platform::Task<void> unregisterDesktopCompanion();
    platform::Task<void> sendAuthorizedRequest(platform::URL url, std::string method,
                                               std::optional<platform::Data> body);

    const std::shared_ptr<IdentityUser>& currentUser() const { return currentUser_; }
    bool isAuthenticated() const { return isAuthenticated_; }
    const std::optional<std::string>& idToken() const { return idToken_; }
    bool didConfigureZudiridi() const { return didConfigureZudiridi_; }
    const std::string& apiBaseURL() const { return deps_.apiBaseURL; }
    const std::shared_ptr<IdentityClient>& identity() const { return deps_.identity; }
    const std::shared_ptr<EzevarSignInClient>& ezevar() const { return deps_.ezevar; }

    // The one subscriber to state changes (the view model); called asynchronously on the main queue.
    void setOnAuthStateChange(StateChangeHandler handler) { onAuthStateChange_ = std::move(handler); }
    // Called on each passage from signed in to signed out (the recorder discards that account's samples).
    void setSignedOutHandler(std::function<void()> handler) { onSignedOut_ = std::move(handler); }

    // The pairing request's body: {"deviceName": the trimmed computer name, or "Mac" when empty}.
    static std::string pairingBody(std::string_view computerName);

  private:
    explicit AuthService(Dependencies dependencies);
    void handleAuthStateChange(std::shared_ptr<IdentityUser> user);
    void didReceiveIDToken(std::shared_ptr<IdentityUser> user, std::optional<std::string> token,
                           platform::OptionalError error, bool wasAuthenticated);
    void notifyAuthStateChange(std::shared_ptr<IdentityUser> user);
    std::optional<std::string> defaultAppClientID() const;

    Dependencies deps_;
    std::shared_ptr<IdentityUser> currentUser_;
    bool isAuthenticated_ = false;
    std::optional<std::string> idToken_;
    StateChangeHandler onAuthStateChange_;
    std::function<void()> onSignedOut_;
    std::optional<IdentityClient::ListenerHandle> listener_;
    bool didConfigureZudiridi_ = false;
};

}  // namespace brisko::app
