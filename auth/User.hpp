// The signed-in account of the identity client: its profile, provider profiles, metadata and second
// factors, its access-token service, the token fetch with automatic sign-out, the account operations
// and the archive the identity client keeps in the keychain.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/AuthDataResult.hpp"
#include "auth/AuthTokenResult.hpp"
#include "auth/SecureTokenService.hpp"
#include "auth/UserInfo.hpp"
#include "auth/backend/GetAccountInfoRequest.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class ActionCodeSettings;
class Auth;
class AuthBackend;
class AuthCredential;
class AuthRequestConfiguration;
class EmailAuthCredential;
class GameCenterAuthCredential;
class MultiFactor;
class SetAccountInfoRequest;
struct SetAccountInfoResponse;
class UserProfileChangeRequest;
class UserProfileUpdate;

inline constexpr std::string_view kUserProviderID = "Zudiridi";
inline constexpr std::string_view kPropertyAccessQueueLabel = "com.ezevar.zudiridi.auth.user.propertyAccessQueue";
inline constexpr std::string_view kMissingUserInResponseMessage = "Missing user in GetAccountInfoResponse";
inline constexpr std::string_view kInvalidUserTokenSignOutMessage =
    "Invalid user token detected, user is automatically signed out.";
inline constexpr std::string_view kNilTokensMessage = "Invalid user token: accessToken or refreshToken is nil";
inline constexpr std::string_view kMissingAuthOnUserMessage = "Internal auth error: missing auth on User";
inline constexpr std::string_view kSetNilAuthMessage =
    "Zudiridi Auth Internal Error: Set user's auth property with non-nil instance.";

class User : public UserInfo, public std::enable_shared_from_this<User> {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRUser";
    static constexpr std::string_view kUserIDCodingKey = "userID";
    static constexpr std::string_view kHasEmailPasswordCredentialCodingKey = "hasEmailPassword";
    static constexpr std::string_view kAnonymousCodingKey = "anonymous";
    static constexpr std::string_view kEmailCodingKey = "email";
    static constexpr std::string_view kPhoneNumberCodingKey = "phoneNumber";
    static constexpr std::string_view kEmailVerifiedCodingKey = "emailVerified";
    static constexpr std::string_view kDisplayNameCodingKey = "displayName";
    static constexpr std::string_view kPhotoURLCodingKey = "photoURL";
    static constexpr std::string_view kProviderDataKey = "providerData";
    static constexpr std::string_view kAPIKeyCodingKey = "APIKey";
    static constexpr std::string_view kZudiridiAppIDCodingKey = "zudiridiAppID";
    static constexpr std::string_view kTokenServiceCodingKey = "tokenService";
    static constexpr std::string_view kMetadataCodingKey = "metadata";
    static constexpr std::string_view kMultiFactorCodingKey = "multiFactor";
    static constexpr std::string_view kTenantIDCodingKey = "tenantID";

    using Callback = std::function<void(platform::OptionalError)>;
    using TokenCallback = std::function<void(std::optional<std::string>, platform::OptionalError)>;
    using TokenResultCallback = std::function<void(std::optional<AuthTokenResult>, platform::OptionalError)>;
    using AuthDataResultCallback = std::function<void(std::shared_ptr<AuthDataResult>, platform::OptionalError)>;
    using UserCallback = std::function<void(std::shared_ptr<User>, platform::OptionalError)>;
    using ChangeBlock = std::function<void(const GetAccountInfoResponse::User&, SetAccountInfoRequest&)>;

    User(std::shared_ptr<SecureTokenService> tokenService, std::shared_ptr<AuthBackend> backend);
    ~User() override;

    // A user for the client from a sign-in reply's tokens: the token (refreshed first when near its end),
    // then the account's profile. Not stored or announced. Throws 17017 without both tokens.
    static platform::Task<std::shared_ptr<User>> makeFromTokens(std::shared_ptr<Auth> auth,
                                                                std::optional<std::string> accessToken,
                                                                std::optional<platform::Date> expirationDate,
                                                                std::optional<std::string> refreshToken,
                                                                bool anonymous);

    // The identity client (held weakly); setting it hands the user the client's configuration and backend.
    std::shared_ptr<Auth> auth() const;
    void setAuth(const std::shared_ptr<Auth>& auth);

    // Profile (read under the user's property lock).
    std::string providerID() const override { return std::string(kUserProviderID); }
    std::string uid() const override;
    std::optional<std::string> displayName() const override;
    void setDisplayName(std::optional<std::string> displayName);
    std::optional<platform::URL> photoURL() const override;
    void setPhotoURL(std::optional<platform::URL> photoURL);
    std::optional<std::string> email() const override;
    std::optional<std::string> phoneNumber() const override;
    bool isAnonymous() const;
    bool anonymous() const { return isAnonymous(); }
    void setIsAnonymous(bool value);
    bool isEmailVerified() const;
    bool emailVerified() const { return isEmailVerified(); }
    void setIsEmailVerified(bool value);
    std::vector<std::shared_ptr<UserInfo>> providerData() const;
    bool hasEmailPasswordCredential() const;
    std::shared_ptr<UserMetadata> metadata() const;
    void setMetadata(std::shared_ptr<UserMetadata> metadata);
    std::optional<std::string> tenantID() const;
    void setTenantID(std::optional<std::string> tenantID);
    std::shared_ptr<MultiFactor> multiFactor() const;
    void setMultiFactor(std::shared_ptr<MultiFactor> multiFactor);
    // The refresh token of the token service.
    std::optional<std::string> refreshToken() const;

    std::shared_ptr<SecureTokenService> tokenService() const;
    void setTokenService(std::shared_ptr<SecureTokenService> tokenService);
    std::shared_ptr<AuthBackend> backend() const;
    std::shared_ptr<AuthRequestConfiguration> requestConfiguration() const;
    void setRequestConfiguration(std::shared_ptr<AuthRequestConfiguration> configuration);
    const std::shared_ptr<UserProfileUpdate>& userProfileUpdate() const { return userProfileUpdate_; }

    // ID tokens. Completions run on the main queue.
    virtual void getIDToken(TokenCallback completion);
    virtual void getIDTokenForcingRefresh(bool forcingRefresh, TokenCallback completion);
    virtual platform::Task<std::string> getIDToken(bool forcingRefresh);
    virtual platform::Task<std::string> getIDTokenForcingRefresh(bool forcingRefresh);
    virtual void getIDTokenResult(TokenResultCallback completion);
    virtual void getIDTokenResult(bool forcingRefresh, TokenResultCallback completion);
    virtual platform::Task<AuthTokenResult> getIDTokenResult(bool forcingRefresh);
    void getIDTokenWithCompletion(TokenCallback completion) { getIDToken(std::move(completion)); }
    void getIDTokenResultWithCompletion(TokenResultCallback completion) { getIDTokenResult(std::move(completion)); }
    void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenResultCallback completion) {
        getIDTokenResult(forcingRefresh, std::move(completion));
    }

    // Account operations. Completions run on the main queue (link and unlink on the main thread).
    virtual void updateEmail(std::string email, Callback completion);
    virtual platform::Task<void> updateEmail(std::string email);
    virtual void updatePassword(std::string password, Callback completion);
    virtual platform::Task<void> updatePassword(std::string password);
    virtual std::shared_ptr<UserProfileChangeRequest> createProfileChangeRequest();
    std::shared_ptr<UserProfileChangeRequest> profileChangeRequest() { return createProfileChangeRequest(); }
    virtual void reload(Callback completion);
    virtual platform::Task<void> reload();
    virtual void reauthenticate(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>>
    reauthenticate(std::shared_ptr<const AuthCredential> credential);
    virtual void link(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion);
    virtual platform::Task<std::shared_ptr<AuthDataResult>> link(std::shared_ptr<const AuthCredential> credential);
    virtual void unlink(std::string provider, UserCallback completion);
    virtual platform::Task<std::shared_ptr<User>> unlink(std::string provider);
    virtual void sendEmailVerification(Callback completion);
    virtual void sendEmailVerification(std::shared_ptr<const ActionCodeSettings> settings, Callback completion);
    virtual platform::Task<void> sendEmailVerification(std::shared_ptr<const ActionCodeSettings> settings);
    virtual void deleteUser(Callback completion);
    virtual platform::Task<void> deleteUser();
    virtual void sendEmailVerificationBeforeUpdating(std::string email, Callback completion);
    virtual void sendEmailVerificationBeforeUpdating(std::string email,
                                                     std::shared_ptr<const ActionCodeSettings> settings,
                                                     Callback completion);
    virtual platform::Task<void>
    sendEmailVerificationBeforeUpdating(std::string email, std::shared_ptr<const ActionCodeSettings> settings);

    // Internal steps of the account operations.
    // The token, with a changed token saved and announced and a dead token signing the user out.
    void internalGetToken(bool forceRefresh, std::shared_ptr<AuthBackend> backend, TokenCallback callback,
                          bool callCallbackOnMain);
    platform::Task<std::string> internalGetToken(bool forceRefresh, std::shared_ptr<AuthBackend> backend);
    // Signs this account out of its identity client when the error says its token is dead.
    void signOutIfTokenIsInvalid(const platform::Error& error);
    // Saves and announces this user when it is its identity client's current user.
    platform::OptionalError updateKeychain();
    void update(const GetAccountInfoResponse& response);
    // The e-mail and its verification as an account update's reply gives them. A reply without an
    // address keeps the local one, unless the update removed the password provider, which takes the
    // address with it at the service.
    void update(const SetAccountInfoResponse& response, bool removedPassword);
    void updateEmail(std::optional<std::string> email, std::optional<std::string> password, Callback callback);
    void executeUserUpdateWithChanges(ChangeBlock changeBlock, Callback callback);
    void getAccountInfoRefreshingCache(
        std::function<void(std::optional<GetAccountInfoResponse::User>, platform::OptionalError)> callback);
    void link(std::shared_ptr<const EmailAuthCredential> credential, AuthDataResultCallback completion);
    void link(std::string email, std::string password, std::shared_ptr<AuthDataResult> authResult,
              AuthDataResultCallback callback);
    void link(std::shared_ptr<const GameCenterAuthCredential> credential, AuthDataResultCallback completion);
    bool providerDataContains(std::string_view providerID) const;
    void removeProvider(std::string_view providerID);

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "userID" holds a text and "tokenService" a token service.
    static std::shared_ptr<User> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    struct Profile {
        bool isAnonymous = false;
        bool isEmailVerified = false;
        std::map<std::string, std::shared_ptr<UserInfoImpl>, std::less<>> providerData;
        std::shared_ptr<UserMetadata> metadata;
        std::string uid;
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
        std::optional<std::string> email;
        std::optional<std::string> phoneNumber;
        bool hasEmailPasswordCredential = false;
    };
    template <class F> decltype(auto) withProfile(F&& f) const {
        std::lock_guard lock(propertyAccessMutex_);
        return std::forward<F>(f)(profile_);
    }
    template <class F> decltype(auto) withProfile(F&& f) {
        std::lock_guard lock(propertyAccessMutex_);
        return std::forward<F>(f)(profile_);
    }
    platform::Task<AuthTokenResult> tokenResultTask(bool forcingRefresh);
    static platform::Task<void> runUserOperation(std::shared_ptr<User> self, platform::Task<void> operation,
                                                 Callback callback, bool onMain);

    // The profile fields are read and written only under this lock (the user's property-access
    // guard), and an archive is written under it in one piece.
    mutable std::mutex propertyAccessMutex_;
    Profile profile_;
    // The fields the identity client and the account operations replace while others read them.
    mutable std::mutex stateMutex_;
    std::shared_ptr<AuthBackend> backend_;
    std::optional<std::string> tenantID_;
    std::shared_ptr<MultiFactor> multiFactor_;
    std::shared_ptr<AuthRequestConfiguration> requestConfiguration_;
    std::shared_ptr<SecureTokenService> tokenService_;
    std::weak_ptr<Auth> auth_;
    std::shared_ptr<UserProfileUpdate> userProfileUpdate_;
};

}  // namespace brisko::auth
