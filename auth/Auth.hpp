// The identity client of one configured app: the start-up restore of the stored user, the current user
// with its persistence and announcements, listeners, sign-in with credentials and the other public
// operations, sign-out, the emulator and language settings and token revocation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/AuthDataResult.hpp"
#include "auth/AuthKeychainServices.hpp"
#include "auth/AuthStoredUserManager.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthBackendClient.hpp"
#include "auth/backend/AuthGlobalWorkQueue.hpp"
#include "auth/backend/AuthRequestConfiguration.hpp"
#include "auth/backend/VerifyPhoneNumberRequest.hpp"
#include "core/AuthInterop.hpp"
#include "core/ComponentLifecycleMaintainer.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/NotificationCenter.hpp"

namespace brisko::core {
class App;
class ComponentContainer;
}  // namespace brisko::core

namespace brisko::auth {

class ActionCodeInfo;
class ActionCodeSettings;
class AuthBackend;
class AuthCredential;
class EmailAuthCredential;
class GameCenterAuthCredential;

inline constexpr std::string_view kAuthStateDidChangeNotification = "ZIRAuthStateDidChangeNotification";
inline constexpr std::string_view kAuthStateDidChangeInternalNotification = "ZIRAuthStateDidChangeInternalNotification";
inline constexpr std::string_view kAuthStateDidChangeInternalNotificationAppKey =
    "ZIRAuthStateDidChangeInternalNotificationAppKey";
inline constexpr std::string_view kAuthStateDidChangeInternalNotificationTokenKey =
    "ZIRAuthStateDidChangeInternalNotificationTokenKey";
inline constexpr std::string_view kAuthStateDidChangeInternalNotificationUIDKey =
    "ZIRAuthStateDidChangeInternalNotificationUIDKey";
inline constexpr std::string_view kUserKey = "_zudiridi_user";
inline constexpr std::string_view kKeychainServicePrefix = "zudiridi_auth_";
inline constexpr std::string_view kStartupLoadFailedMessage = "Error loading saved user when starting up: ";
inline constexpr std::string_view kAutoRefreshEnabledMessage = "Token auto-refresh enabled.";
inline constexpr std::string_view kMissingAPIKeyMessage = "Missing apiKey for Auth initialization";
inline constexpr std::string_view kMissingAPIKeyInSaveUserMessage = "Internal Auth Error: Missing apiKey in saveUser";
inline constexpr std::string_view kDefaultAppNotConfiguredMessage =
    "The default ZudiridiApp instance must be configured before the default Auth instance can be initialized. "
    "One way to ensure this is to call `ZudiridiApp.configure()` in the App Delegate's "
    "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in SwiftUI).";
inline constexpr std::string_view kEmptyEmulatorHostMessage = "Cannot connect to empty host";
inline constexpr std::string_view kHandleCodeInAppMessage =
    "The handleCodeInApp flag in ActionCodeSettings must be true for Email-link Authentication.";
inline constexpr std::string_view kInvalidEmailLinkMessage =
    "The link provided is not valid for email/link sign-in. Please check the link by calling "
    "isSignIn(withEmailLink:) on the Auth instance before attempting to use it for email/link sign-in.";
inline constexpr std::string_view kMissingOOBCodeInLinkMessage = "Missing oobCode in link URL";
inline constexpr std::string_view kMissingResetPasswordResponseMessage =
    "Internal Auth Error: Failed to get a ResetPasswordResponse";
inline constexpr std::string_view kGameCenterCredentialMessage =
    "Internal Auth Error: Game Center credential missing publicKeyURL, signature, or salt";
inline constexpr std::string_view kNoCurrentUserToRevokeMessage = "No user is signed in: there is no token to revoke.";
inline constexpr std::string_view kClientGoneForEmailChangeMessage = "The identity client no longer exists.";
// The page the sign-in-method lookup names as its continue address.
inline constexpr std::string_view kSignInMethodsContinueURI = "http://www.ezevar.com/";

// Token auto-refresh timing.
inline constexpr double kAutoRefreshHeadStartSeconds = 300;
inline constexpr double kAutoRefreshFirstRetrySeconds = 60;
inline constexpr double kAutoRefreshMaxRetrySeconds = 960;

// The kind of operation a phone verification serves (its enumeration lives with the verification records).
std::optional<AuthOperationType> authOperationTypeFromRawValue(int rawValue);

struct AuthSettings {
    bool appVerificationDisabledForTesting = false;
    bool isAppVerificationDisabledForTesting() const { return appVerificationDisabledForTesting; }
    void setIsAppVerificationDisabledForTesting(bool value) { appVerificationDisabledForTesting = value; }
};

// A hook for delayed work (the token auto-refresh); when set, it is given the queue, the delay in
// seconds and the work in place of scheduling it.
struct AuthDispatcher {
    std::function<void(std::shared_ptr<platform::DispatchQueue>, double, platform::DispatchQueue::Work)>
        dispatchAfterImplementation;
};

class Auth : public core::AuthInterop,
             public core::ComponentLifecycleMaintainer,
             public AuthBackendClient,
             public std::enable_shared_from_this<Auth> {
public:
    using StateDidChangeListener = std::function<void(std::shared_ptr<Auth>, std::shared_ptr<User>)>;
    using ListenerHandle = platform::NotificationCenter::Token;
    using Callback = std::function<void(platform::OptionalError)>;
    using AuthDataResultCallback = User::AuthDataResultCallback;

    // The serial work queue of every identity client of the process.
    static const std::shared_ptr<platform::DispatchQueue>& authGlobalWorkQueue();

    // The identity client of the default app; nothing when no default app is configured.
    static std::shared_ptr<Auth> auth();
    // The identity client of an app (the same object for each request); nothing without one.
    static std::shared_ptr<Auth> authWithApp(const std::shared_ptr<core::App>& app);

    // Creates a client and schedules the start-up restore. Nothing for an app without an API key.
    static std::shared_ptr<Auth> make(const std::shared_ptr<core::App>& app,
                                      std::shared_ptr<AuthKeychainStorage> keychainStorage,
                                      std::shared_ptr<AuthBackend> backend, AuthDispatcher authDispatcher);
    ~Auth() override;

    // Properties.
    std::shared_ptr<core::App> app() const { return app_.lock(); }
    // Waits for the start-up restore, so the first read sees the stored user.
    std::shared_ptr<User> currentUser() const;
    std::optional<std::string> languageCode() const;
    void setLanguageCode(std::optional<std::string> languageCode);
    std::optional<AuthSettings> settings() const;
    void setSettings(std::optional<AuthSettings> settings);
    std::optional<std::string> userAccessGroup() const;
    void setUserAccessGroup(std::optional<std::string> group);
    bool shareAuthStateAcrossDevices() const;
    void setShareAuthStateAcrossDevices(bool value);
    std::optional<std::string> tenantID() const override;
    void setTenantID(std::optional<std::string> tenantID);
    std::optional<std::string> customAuthDomain() const;
    void setCustomAuthDomain(std::optional<std::string> domain);
    const std::optional<platform::Array>& mainBundleUrlTypes() const { return mainBundleUrlTypes_; }
    const std::shared_ptr<AuthRequestConfiguration>& requestConfiguration() const { return requestConfiguration_; }
    const std::shared_ptr<AuthBackend>& backend() const { return backend_; }
    const std::shared_ptr<AuthKeychainServices>& keychainServices() const { return keychainServices_; }
    const std::shared_ptr<AuthStoredUserManager>& storedUserManager() const { return storedUserManager_; }
    const std::string& storedUserKey() const { return storedUserKey_; }

    // Core interop.
    void getTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override;
    void getToken(bool forcingRefresh, TokenCallback callback) {
        getTokenForcingRefresh(forcingRefresh, std::move(callback));
    }
    std::optional<std::string> getUserID() override;
    void appWillBeDeleted(const std::shared_ptr<core::App>& app) override;
    platform::Value multiFactorResolver(const std::string& pendingCredential,
                                        const std::vector<AuthProtoMFAEnrollment>& hints) override;

    // Current user, persistence and announcements.
    virtual void updateCurrentUser(std::shared_ptr<User> user, bool byForce, bool savingToDisk);
    virtual void saveUser(const std::shared_ptr<User>& user);
    virtual void notifyListenersOfAuthStateChange();
    virtual void updateCurrentUser(std::shared_ptr<User> user, Callback completion);
    virtual platform::Task<void> updateCurrentUser(std::shared_ptr<User> user);
    // Throws when the stored user cannot be deleted; the user then stays signed in.
    virtual void signOut();
    // Saves and then announces the user when it is the current user; the save error otherwise. With
    // `tokensOnly` (a token fetch changed the tokens) the save is skipped when the stored copy already
    // holds these tokens: every caller that shared one refresh reports the change.
    platform::OptionalError saveAndAnnounceIfCurrent(const std::shared_ptr<User>& user, bool tokensOnly = false);
    // Signs the current user out when its uid is this one (a dead token, a deleted account).
    void signOutUserWithUID(const std::string& uid, bool reportErrors = false);

    virtual ListenerHandle addStateDidChangeListener(StateDidChangeListener listener);
    virtual void removeStateDidChangeListener(ListenerHandle handle);
    virtual ListenerHandle addIDTokenDidChangeListener(StateDidChangeListener listener);
    virtual void removeIDTokenDidChangeListener(ListenerHandle handle);
    ListenerHandle addAuthStateDidChangeListener(StateDidChangeListener l) {
        return addStateDidChangeListener(std::move(l));
    }
    void removeAuthStateDidChangeListener(ListenerHandle h) { removeStateDidChangeListener(h); }

    // The stored user and the keychain access group.
    void useUserAccessGroup(std::optional<std::string> accessGroup);
    void internalUseUserAccessGroup(std::optional<std::string> accessGroup);
    virtual std::shared_ptr<User> getStoredUser(std::optional<std::string> accessGroup);
    std::shared_ptr<User> getUser();
    void protectedDataInitialization();
    static std::string keychainServiceName(const core::App& app);
    static std::optional<std::string> deleteKeychainServiceName(const std::string& appName);

    // Sign-in.
    virtual void signIn(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> signIn(std::shared_ptr<const AuthCredential> credential);
    void signInWithCredential(std::shared_ptr<const AuthCredential> c, AuthDataResultCallback done) {
        signIn(std::move(c), std::move(done));
    }
    virtual void signIn(std::string email, std::string password, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> signIn(std::string email, std::string password);
    virtual void signInWithEmailLink(std::string email, std::string link, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> signInWithEmailLink(std::string email, std::string link);
    virtual void signInAnonymously(AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> signInAnonymously();
    void signInAnonymouslyWithCompletionHandler(AuthDataResultCallback block);
    virtual void signInWithCustomToken(std::string token, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> signInWithCustomToken(std::string token);
    virtual void createUser(std::string email, std::string password, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> createUser(std::string email, std::string password);
    virtual void fetchSignInMethods(
        std::string email,
        std::function<void(std::optional<std::vector<std::string>>, platform::OptionalError)> completion);
    virtual platform::Task<std::vector<std::string>> fetchSignInMethods(std::string email);

    // Password reset, action codes and e-mail links.
    virtual void confirmPasswordReset(std::string code, std::string newPassword, Callback completion);
    virtual platform::Task<void> confirmPasswordReset(std::string code, std::string newPassword);
    virtual void
    checkActionCode(std::string code,
                    std::function<void(std::shared_ptr<ActionCodeInfo>, platform::OptionalError)> completion);
    virtual platform::Task<std::shared_ptr<ActionCodeInfo>> checkActionCode(std::string code);
    virtual void
    verifyPasswordResetCode(std::string code,
                            std::function<void(std::optional<std::string>, platform::OptionalError)> completion);
    virtual platform::Task<std::string> verifyPasswordResetCode(std::string code);
    virtual void applyActionCode(std::string code, Callback completion);
    virtual platform::Task<void> applyActionCode(std::string code);
    virtual void sendPasswordReset(std::string email, Callback completion);
    virtual void sendPasswordReset(std::string email, std::shared_ptr<const ActionCodeSettings> settings,
                                   Callback completion);
    virtual platform::Task<void> sendPasswordReset(std::string email,
                                                   std::shared_ptr<const ActionCodeSettings> settings);
    virtual void sendSignInLink(std::string email, std::shared_ptr<const ActionCodeSettings> settings,
                                Callback completion);
    virtual platform::Task<void> sendSignInLink(std::string email, std::shared_ptr<const ActionCodeSettings> settings);
    virtual bool isSignIn(std::string_view link) const;
    bool isSignInWithEmailLink(std::string_view link) const { return isSignIn(link); }

    // Emulator, language and revocation.
    virtual void useAppLanguage();
    // Refuses (false, logged) an empty host, a host already in brackets and a negative port.
    virtual bool useEmulator(std::string host, std::int64_t port);
    bool useEmulatorWithHost(std::string host, std::int64_t port) { return useEmulator(std::move(host), port); }
    virtual void revokeToken(std::string authorizationCode, Callback completion);
    virtual platform::Task<void> revokeToken(std::string authorizationCode);

    // The roads behind the sign-in operations (they do not change the current user).
    virtual platform::Task<std::shared_ptr<AuthDataResult>>
    internalSignInAndRetrieveData(std::shared_ptr<const AuthCredential> credential, bool isReauthentication);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> internalSignInAndRetrieveData(std::string email,
                                                                                          std::string link);
    virtual platform::Task<std::shared_ptr<AuthDataResult>>
    signInAndRetrieveData(std::shared_ptr<const GameCenterAuthCredential> credential);
    platform::Task<std::shared_ptr<User>> internalSignInUser(std::string email, std::string password);
    // Makes a successful result's user current (saved, announced) and then completes on the main queue.
    std::function<void(std::shared_ptr<AuthDataResult>, platform::OptionalError)>
    signInFlowAuthDataResultCallback(AuthDataResultCallback completion);

    // Token auto-refresh.
    void scheduleAutoTokenRefresh();
    void scheduleAutoTokenRefresh(double delay, bool retry);

protected:
    Auth(const std::shared_ptr<core::App>& app, std::shared_ptr<AuthKeychainStorage> keychainStorage,
         std::shared_ptr<AuthBackend> backend, AuthDispatcher authDispatcher);

private:
    friend class AuthComponent;
    std::shared_ptr<User> currentUserField() const;
    void setCurrentUserField(std::shared_ptr<User> user);
    void markRestored();
    ListenerHandle registerListener(StateDidChangeListener listener);
    void removeListenerHandle(ListenerHandle handle);
    std::string requireAPIKey(std::string_view whatFor) const;
    void scheduleRefreshStep(double delay, bool retry, std::optional<std::string> token);
    void startSignIn(std::function<platform::Task<std::shared_ptr<AuthDataResult>>(std::shared_ptr<Auth>)> road,
                     AuthDataResultCallback completion, std::string what);

    std::weak_ptr<core::App> app_;
    std::string zudiridiAppName_;
    std::string storedUserKey_;
    std::optional<platform::Array> mainBundleUrlTypes_;
    std::shared_ptr<AuthRequestConfiguration> requestConfiguration_;
    std::shared_ptr<AuthBackend> backend_;
    std::shared_ptr<AuthKeychainServices> keychainServices_;
    std::shared_ptr<AuthStoredUserManager> storedUserManager_;
    AuthDispatcher authDispatcher_;

    // Plain properties, read and written from any thread.
    mutable std::mutex propertiesMutex_;
    std::optional<AuthSettings> settings_;
    std::optional<std::string> userAccessGroup_;
    bool shareAuthStateAcrossDevices_ = false;
    std::optional<std::string> tenantID_;
    std::optional<std::string> customAuthDomain_;

    // The current user: one lock for the pointer, and one for each whole change (decide, save,
    // assign, announce), so a token save never writes back a user that a sign-out just removed.
    mutable std::mutex currentUserMutex_;
    std::shared_ptr<User> currentUser_;
    std::recursive_mutex updateMutex_;
    // The user last saved and its tokens at that moment (guarded by updateMutex_).
    std::weak_ptr<User> lastSavedUser_;
    std::optional<std::pair<std::string, std::optional<std::string>>> lastSavedTokens_;
    // The start-up restore: reads of the current user wait for it.
    mutable std::mutex restoreMutex_;
    mutable std::condition_variable restoreDone_;
    bool restored_ = false;

    // The token last announced; compared and written in one step.
    std::mutex lastNotifiedUserTokenLock_;
    std::optional<std::string> lastNotifiedUserToken_;

    std::atomic<bool> autoRefreshTokens_{false};
    std::atomic<bool> autoRefreshScheduled_{false};
    bool isAppInBackground_ = false;

    std::mutex listenerHandlesMutex_;
    std::vector<ListenerHandle> listenerHandles_;
};

}  // namespace brisko::auth
