// The process-wide Ezevar sign-in object: interactive sign-in in the browser, restore, add scopes,
// sign-out, disconnect, and the redirect URLs the app receives. Main thread only; every completion is
// posted to the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "oauth/AuthState.hpp"
#include "oauth/AuthorizationSession.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "oauth/IDToken.hpp"
#include "oauth/RedirectHTTPHandler.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/storage/Bundle.hpp"
#include "signin/AuthFlow.hpp"
#include "signin/AuthStateMigration.hpp"
#include "signin/Claim.hpp"
#include "signin/Configuration.hpp"
#include "signin/EzevarUser.hpp"
#include "signin/SignInError.hpp"
#include "signin/SignInInternalOptions.hpp"
#include "signin/SignInResult.hpp"
#include "signin/session/KeychainStore.hpp"

namespace brisko::signin {

class SignIn : public std::enable_shared_from_this<SignIn> {
public:
    static constexpr std::string_view kKeychainItemName = "auth";
    static constexpr std::string_view kRedirectPath = "/oauth2callback";
    static constexpr std::string_view kDevicePolicyPath = "/emmcallback";
    static constexpr std::string_view kAppHasRunBeforeKey = "EID_AppHasRunBefore";
    static constexpr std::string_view kClientIDKey = "EIDClientID";
    static constexpr std::string_view kServerClientIDKey = "EIDServerClientID";
    static constexpr std::string_view kHostedDomainKey = "EIDHostedDomain";
    static constexpr std::string_view kOpenIDRealmKey = "EIDOpenIDRealm";
    static constexpr std::string_view kServerAuthCodeKey = "server_code";
    // Information-list Boolean: the redirect comes back to a loopback listener on 127.0.0.1 instead of
    // the app's URL scheme (no scheme needs registering with the desktop).
    static constexpr std::string_view kLoopbackRedirectKey = "EIDLoopbackRedirect";

    using RestoreCompletion = std::function<void(std::shared_ptr<EzevarUser>, platform::OptionalError)>;
    using DisconnectCompletion = std::function<void(platform::OptionalError)>;
    using FetchCompletion = std::function<void(std::optional<platform::Data>, platform::OptionalError)>;
    // Makes the agent that shows the authorization page (the default browser unless replaced).
    using ExternalUserAgentFactory = std::function<std::shared_ptr<oauth::ExternalUserAgent>(PresentingWindow)>;

    static SignIn& sharedInstance();
    static std::shared_ptr<SignIn> make(std::shared_ptr<KeychainStore> keychainStore,
                                        std::shared_ptr<AuthStateMigration> authStateMigrationService);

    std::shared_ptr<Configuration> configuration() const { return configuration_; }
    void setConfiguration(std::shared_ptr<Configuration> configuration) { configuration_ = std::move(configuration); }
    std::shared_ptr<EzevarUser> currentUser() const { return currentUser_; }
    void setCurrentUser(std::shared_ptr<EzevarUser> user) { currentUser_ = std::move(user); }

    // Interactive sign-in over the window (its native id). Programming errors (no configuration, no
    // client ID, no window, an undeclared callback scheme) throw platform::ProgrammingException.
    void signInWithPresentingWindow(PresentingWindow window, SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                    SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                    const std::vector<std::string>& additionalScopes, SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                    const std::vector<std::string>& additionalScopes, std::optional<std::string> nonce,
                                    SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, const ClaimSet& claims, SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint, const ClaimSet& claims,
                                    SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                    const std::vector<std::string>& additionalScopes, const ClaimSet& claims,
                                    SignInCompletion completion);
    void signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                    const std::vector<std::string>& additionalScopes, std::optional<std::string> nonce,
                                    const ClaimSet& claims, SignInCompletion completion);

    // Ends the interactive flow whose page is open as cancelled by the user (its completion gets -5);
    // false when no page is open.
    bool cancelSignIn();
    // True when the URL was the redirect (or the device-policy restart) of the flow under way.
    bool handleURL(std::string_view url);

    void restorePreviousSignInWithCompletion(RestoreCompletion completion);
    bool hasPreviousSignIn();
    bool restorePreviousSignInNoRefresh();
    void addScopes(const std::vector<std::string>& scopes, PresentingWindow window, SignInCompletion completion);
    void signOut();
    void disconnectWithCompletion(DisconnectCompletion completion);

    bool usesLoopbackRedirect() const { return loopbackRedirect_; }
    void setUsesLoopbackRedirect(bool value) { loopbackRedirect_ = value; }

    // Seams: the agent that shows the page, and the URL-session configuration of the user-info and
    // revocation fetches (a test CA, for local stand-ins).
    void setExternalUserAgentFactory(ExternalUserAgentFactory factory) { agentFactory_ = std::move(factory); }
    void setFetcherConfiguration(std::optional<platform::URLSessionConfiguration> configuration) {
        fetcherConfiguration_ = std::move(configuration);
    }

    // The flow machinery (public for the steps and for tests).
    void signInWithOptions(std::shared_ptr<SignInInternalOptions> options);
    oauth::AuthorizationRequestPtr
    authorizationRequestWithOptions(const SignInInternalOptions& options,
                                    std::optional<platform::URL> redirectURL = std::nullopt);
    oauth::StringMap additionalParametersFromOptions(const SignInInternalOptions& options) const;
    std::optional<platform::URL> redirectURLWithOptions(const SignInInternalOptions& options) const;
    static std::shared_ptr<ProfileData> profileDataWithIDToken(const oauth::IDToken& idToken);
    static std::shared_ptr<Configuration> configurationFromBundle(const platform::Bundle* bundle);
    static std::optional<std::string> configValueFromBundle(const platform::Bundle* bundle, std::string_view key);
    static platform::Error errorWithString(std::optional<std::string> text, SignInErrorCode code);
    // True when the operating system's version is 9.0.0 or later (no flow asks it).
    static bool isOperatingSystemAtLeast9();
    const oauth::ServiceConfigurationPtr& oauthClientConfiguration() const { return oauthClientConfiguration_; }
    const std::shared_ptr<SignInInternalOptions>& currentOptions() const { return currentOptions_; }
    void startFetchURL(const platform::URL& url, const std::shared_ptr<oauth::AuthState>& state, std::string comment,
                       FetchCompletion completion);

private:
    SignIn(std::shared_ptr<KeychainStore> keychainStore, std::shared_ptr<AuthStateMigration> migration);
    void initialize();

    void supersedeFlowInProgress();
    void authenticateWithOptions(std::shared_ptr<SignInInternalOptions> options);
    void authenticateInteractivelyWithOptions(std::shared_ptr<SignInInternalOptions> options);
    void processAuthorizationResponse(oauth::AuthorizationResponsePtr response, platform::OptionalError error,
                                      std::optional<std::string> emmSupport);
    void runFlow(const std::shared_ptr<AuthFlow>& flow);
    void maybeFetchToken(const std::shared_ptr<AuthFlow>& flow);
    void addDecodeIdTokenCallback(const std::shared_ptr<AuthFlow>& flow);
    void addSaveAuthCallback(const std::shared_ptr<AuthFlow>& flow);
    void addCompletionCallback(const std::shared_ptr<AuthFlow>& flow);
    bool handleDevicePolicyAppURL(const platform::URL& url);
    void completeCurrentOptions(const std::shared_ptr<SignInResult>& result, const platform::OptionalError& error);
    bool isFreshInstall();
    bool saveAuthState(const std::shared_ptr<oauth::AuthState>& state);
    std::shared_ptr<oauth::AuthState> loadAuthState();
    void assertValidParameters(const SignInInternalOptions& options) const;

    std::shared_ptr<SignInInternalOptions> currentOptions_;
    ClaimsInternalOptions claimsInternalOptions_;
    oauth::ServiceConfigurationPtr oauthClientConfiguration_;
    std::shared_ptr<oauth::ExternalUserAgentSession> currentAuthorizationFlow_;
    bool restarting_ = false;
    std::shared_ptr<KeychainStore> keychainStore_;
    std::shared_ptr<AuthStateMigration> migration_;
    std::shared_ptr<EzevarUser> currentUser_;
    std::shared_ptr<Configuration> configuration_;

    // Bumped whenever a flow is superseded or restarted: callbacks of an older flow find it changed and
    // stop, so they never complete a newer flow.
    std::uint64_t generation_ = 0;
    ExternalUserAgentFactory agentFactory_;
    std::optional<platform::URLSessionConfiguration> fetcherConfiguration_;
    bool loopbackRedirect_ = false;
    // The listener of the flow under way, when the redirect comes back over loopback.
    std::shared_ptr<oauth::RedirectHTTPHandler> loopbackHandler_;
};

}  // namespace brisko::signin
