// The signed-in user: profile, archive, factory, token fetch, automatic sign-out and account operations.
#include "auth/User.hpp"

#include <algorithm>

#include "auth/ActionCodeSettingsValues.hpp"
#include "auth/Auth.hpp"
#include "auth/AuthLog.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/UserProfileChangeRequest.hpp"
#include "auth/UserProfileUpdate.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/DeleteAccountRequest.hpp"
#include "auth/backend/EmailLinkSignInRequest.hpp"
#include "auth/backend/GetOOBConfirmationCodeRequest.hpp"
#include "auth/backend/SetAccountInfoRequest.hpp"
#include "auth/backend/SignInWithGameCenterRequest.hpp"
#include "auth/backend/SignUpNewUserRequest.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/AuthWebUtils.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/EmailAuthCredential.hpp"
#include "auth/providers/GameCenterAuthCredential.hpp"
#include "auth/providers/MultiFactor.hpp"
#include "platform/base/Clock.hpp"

namespace brisko::auth {

namespace {
constexpr std::string_view kActualExpirationMessage = "Actual token expiration date: ";
constexpr std::string_view kMissingPasswordReason = "Missing Password";
constexpr std::string_view kClientGoneMessage = "The identity client of this user no longer exists.";
constexpr std::string_view kNoTokenMessage = "Internal Auth Error: the token service gave no token.";
constexpr std::string_view kMissingOOBCodeMessage = "Internal Auth Error: Missing oobCode or requestConfiguration";
constexpr std::string_view kMissingTokensInReplyMessage =
    "Internal Auth Error: the reply carried no ID token or refresh token.";
constexpr std::string_view kGameCenterMissingFieldsMessage =
    "Internal Auth Error: Game Center credential missing publicKeyURL, signature, or salt";

bool isDeadTokenCode(std::int64_t code) {
    return code == rawValue(AuthErrorCode::userDisabled) || code == rawValue(AuthErrorCode::userNotFound) ||
           code == rawValue(AuthErrorCode::invalidUserToken) || code == rawValue(AuthErrorCode::userTokenExpired);
}

platform::Error describedError(AuthErrorCode code, std::string_view description) {
    return AuthErrorUtils::makeError(
        code, platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(description)}});
}

platform::Error internalError(std::string_view description) {
    return describedError(AuthErrorCode::internalError, description);
}

// Installs the tokens a link reply carries and refreshes the profile; the result names the user alone.
template <class Response>
platform::Task<std::shared_ptr<AuthDataResult>> applyLinkReply(std::shared_ptr<User> user, Response response) {
    if (!response.idToken || !response.refreshToken) {
        throw platform::ErrorException(internalError(kMissingTokensInReplyMessage));
    }
    co_await user->userProfileUpdate()->updateTokenAndRefresh(user, *response.idToken, *response.refreshToken,
                                                              response.approximateExpirationDate);
    co_return std::make_shared<AuthDataResult>(user);
}

// The identity client of a user, or the error that it is gone (a user outlives its client in callers'
// hands; its account operations then report instead of stopping the process).
std::shared_ptr<Auth> requireAuth(const User& user) {
    auto auth = user.auth();
    if (!auth) throw platform::ErrorException(internalError(kClientGoneMessage));
    return auth;
}
}  // namespace

User::User(std::shared_ptr<SecureTokenService> tokenService, std::shared_ptr<AuthBackend> backend)
    : backend_(std::move(backend)), multiFactor_(std::make_shared<MultiFactor>()),
      requestConfiguration_(AuthRequestConfiguration::make("", "")), tokenService_(std::move(tokenService)),
      userProfileUpdate_(std::make_shared<UserProfileUpdate>()) {
    profile_.metadata = std::make_shared<UserMetadata>(std::nullopt, std::nullopt);
}

User::~User() = default;

platform::Task<std::shared_ptr<User>> User::makeFromTokens(std::shared_ptr<Auth> auth,
                                                           std::optional<std::string> accessToken,
                                                           std::optional<platform::Date> expirationDate,
                                                           std::optional<std::string> refreshToken, bool anonymous) {
    if (!accessToken || !refreshToken) {
        throw platform::ErrorException(describedError(AuthErrorCode::invalidUserToken, kNilTokensMessage));
    }
    auto tokenService = SecureTokenService::make(auth->requestConfiguration(), std::move(*accessToken), expirationDate,
                                                 std::move(*refreshToken));
    auto user = std::make_shared<User>(tokenService, auth->backend());
    user->setAuth(auth);
    user->setTenantID(auth->tenantID());
    user->setRequestConfiguration(auth->requestConfiguration());

    const std::string token = co_await user->internalGetToken(false, user->backend());
    GetAccountInfoRequest request(token, user->requestConfiguration());
    auto response = co_await user->backend()->call(request);
    user->setIsAnonymous(anonymous);
    user->update(response);
    co_return user;
}

std::shared_ptr<Auth> User::auth() const {
    std::lock_guard lock(stateMutex_);
    return auth_.lock();
}

void User::setAuth(const std::shared_ptr<Auth>& auth) {
    if (!auth) platform::fatal(kSetNilAuthMessage);
    auto configuration = auth->requestConfiguration();
    std::shared_ptr<SecureTokenService> service;
    {
        std::lock_guard lock(stateMutex_);
        auth_ = auth;
        requestConfiguration_ = configuration;
        backend_ = auth->backend();
        service = tokenService_;
    }
    service->setRequestConfiguration(configuration);
}

std::string User::uid() const {
    return withProfile([](const Profile& p) { return p.uid; });
}
std::optional<std::string> User::displayName() const {
    return withProfile([](const Profile& p) { return p.displayName; });
}
void User::setDisplayName(std::optional<std::string> displayName) {
    withProfile([&](Profile& p) { p.displayName = std::move(displayName); });
}
std::optional<platform::URL> User::photoURL() const {
    return withProfile([](const Profile& p) { return p.photoURL; });
}
void User::setPhotoURL(std::optional<platform::URL> photoURL) {
    withProfile([&](Profile& p) { p.photoURL = std::move(photoURL); });
}
std::optional<std::string> User::email() const {
    return withProfile([](const Profile& p) { return p.email; });
}
std::optional<std::string> User::phoneNumber() const {
    return withProfile([](const Profile& p) { return p.phoneNumber; });
}
bool User::isAnonymous() const {
    return withProfile([](const Profile& p) { return p.isAnonymous; });
}
void User::setIsAnonymous(bool value) {
    withProfile([&](Profile& p) { p.isAnonymous = value; });
}
bool User::isEmailVerified() const {
    return withProfile([](const Profile& p) { return p.isEmailVerified; });
}
void User::setIsEmailVerified(bool value) {
    withProfile([&](Profile& p) { p.isEmailVerified = value; });
}
std::vector<std::shared_ptr<UserInfo>> User::providerData() const {
    return withProfile([](const Profile& p) {
        std::vector<std::shared_ptr<UserInfo>> out;
        for (const auto& [id, info] : p.providerData) out.push_back(info);
        return out;
    });
}
bool User::hasEmailPasswordCredential() const {
    return withProfile([](const Profile& p) { return p.hasEmailPasswordCredential; });
}
std::shared_ptr<UserMetadata> User::metadata() const {
    return withProfile([](const Profile& p) { return p.metadata; });
}
void User::setMetadata(std::shared_ptr<UserMetadata> metadata) {
    withProfile([&](Profile& p) { p.metadata = std::move(metadata); });
}
std::optional<std::string> User::tenantID() const {
    std::lock_guard lock(stateMutex_);
    return tenantID_;
}
void User::setTenantID(std::optional<std::string> tenantID) {
    std::lock_guard lock(stateMutex_);
    tenantID_ = std::move(tenantID);
}
std::shared_ptr<MultiFactor> User::multiFactor() const {
    std::lock_guard lock(stateMutex_);
    return multiFactor_;
}
void User::setMultiFactor(std::shared_ptr<MultiFactor> multiFactor) {
    std::lock_guard lock(stateMutex_);
    multiFactor_ = std::move(multiFactor);
}
std::optional<std::string> User::refreshToken() const {
    return tokenService()->refreshToken();
}
std::shared_ptr<SecureTokenService> User::tokenService() const {
    std::lock_guard lock(stateMutex_);
    return tokenService_;
}
void User::setTokenService(std::shared_ptr<SecureTokenService> tokenService) {
    std::lock_guard lock(stateMutex_);
    tokenService_ = std::move(tokenService);
}
std::shared_ptr<AuthBackend> User::backend() const {
    std::lock_guard lock(stateMutex_);
    return backend_;
}
std::shared_ptr<AuthRequestConfiguration> User::requestConfiguration() const {
    std::lock_guard lock(stateMutex_);
    return requestConfiguration_;
}
void User::setRequestConfiguration(std::shared_ptr<AuthRequestConfiguration> configuration) {
    std::lock_guard lock(stateMutex_);
    requestConfiguration_ = std::move(configuration);
}

void User::update(const GetAccountInfoResponse& response) {
    if (!response.users || response.users->empty()) {
        authLog(kLogLevelWarning, kLogCodeInvalidUserToken, kMissingUserInResponseMessage);
        return;
    }
    const auto& record = response.users->front();
    withProfile([&](Profile& p) {
        p.uid = record.localID.value_or("");
        p.email = record.email;
        p.isEmailVerified = record.emailVerified;
        p.displayName = record.displayName;
        p.photoURL = record.photoURL;
        p.phoneNumber = record.phoneNumber;
        p.hasEmailPasswordCredential = record.passwordHash && !record.passwordHash->empty();
        p.metadata = std::make_shared<UserMetadata>(record.lastLoginDate, record.creationDate);
        p.providerData.clear();
        for (const auto& provider :
             record.providerUserInfo.value_or(std::vector<GetAccountInfoResponse::ProviderUserInfo>{})) {
            // An entry without a provider ID has no key to be stored under.
            if (!provider.providerID) continue;
            p.providerData[*provider.providerID] = std::make_shared<UserInfoImpl>(
                UserInfoImpl::Fields{*provider.providerID, provider.federatedID.value_or(""), provider.displayName,
                                     provider.photoURL, provider.email, provider.phoneNumber});
        }
    });
    auto factors = record.mfaEnrollments ? std::make_shared<MultiFactor>(*record.mfaEnrollments) : multiFactor();
    factors->setUser(shared_from_this());
    setMultiFactor(std::move(factors));
}

void User::update(const SetAccountInfoResponse& response, bool removedPassword) {
    withProfile([&](Profile& p) {
        if (response.email || removedPassword) p.email = response.email;
        if (response.emailVerified) p.isEmailVerified = *response.emailVerified;
    });
}

// --- Token fetch, automatic sign-out, save and announce ---

platform::Task<std::string> User::internalGetToken(bool forceRefresh, std::shared_ptr<AuthBackend> backend) {
    auto self = shared_from_this();
    auto service = tokenService();
    TokenFetchResult result;
    std::optional<platform::Error> failure;
    try {
        result = co_await service->fetchToken(forceRefresh, backend);
    } catch (...) {
        failure = currentError();
    }
    if (failure) {
        signOutIfTokenIsInvalid(*failure);
        throw platform::ErrorException(*failure);
    }
    if (result.second) {
        if (auto auth = this->auth()) {
            if (auto error = auth->saveAndAnnounceIfCurrent(self, /*tokensOnly=*/true))
                throw platform::ErrorException(*error);
        }
    }
    if (!result.first) throw platform::ErrorException(internalError(kNoTokenMessage));
    co_return *result.first;
}

void User::internalGetToken(bool forceRefresh, std::shared_ptr<AuthBackend> backend, TokenCallback callback,
                            bool callCallbackOnMain) {
    startTask(
        [](std::shared_ptr<User> self, bool force, std::shared_ptr<AuthBackend> backend, TokenCallback callback,
           bool onMain) -> platform::Task<void> {
            std::optional<std::string> token;
            platform::OptionalError error;
            try {
                token = co_await self->internalGetToken(force, std::move(backend));
            } catch (...) {
                error = currentError();
            }
            if (onMain) {
                completeOnMain(callback, std::move(token), std::move(error));
            } else if (callback) {
                callback(std::move(token), std::move(error));
            }
        }(shared_from_this(), forceRefresh, std::move(backend), std::move(callback), callCallbackOnMain),
        "internalGetToken");
}

void User::signOutIfTokenIsInvalid(const platform::Error& error) {
    if (!isDeadTokenCode(error.code())) return;
    authLog(kLogLevelNotice, kLogCodeInvalidUserToken, kInvalidUserTokenSignOutMessage);
    auto auth = this->auth();
    if (!auth) return;
    auth->signOutUserWithUID(uid());
}

platform::OptionalError User::updateKeychain() {
    auto auth = this->auth();
    if (!auth) return std::nullopt;
    return auth->saveAndAnnounceIfCurrent(shared_from_this());
}

// --- ID tokens ---

platform::Task<AuthTokenResult> User::tokenResultTask(bool forcingRefresh) {
    auto token = co_await internalGetToken(forcingRefresh, backend());
    auto result = AuthTokenResult::tokenResult(token);
    authLog(kLogLevelDebug, kLogCodeToken,
            std::string(kActualExpirationMessage) + describeDate(result.expirationDate) +
                ",current date: " + describeDate(platform::now()));
    co_return result;
}

void User::getIDTokenResult(bool forcingRefresh, TokenResultCallback completion) {
    auto self = shared_from_this();
    Auth::authGlobalWorkQueue()->async([self, forcingRefresh, completion = std::move(completion)]() mutable {
        auto work = [](std::shared_ptr<User> self, bool force) -> platform::Task<std::optional<AuthTokenResult>> {
            co_return co_await self->tokenResultTask(force);
        };
        startTask(completeOnMainAfter(work(self, forcingRefresh), std::move(completion)), "getIDTokenResult");
    });
}

void User::getIDTokenResult(TokenResultCallback completion) {
    getIDTokenResult(false, [completion = std::move(completion)](std::optional<AuthTokenResult> result,
                                                                 platform::OptionalError error) {
        completeOnMain(completion, std::move(result), std::move(error));
    });
}

void User::getIDTokenForcingRefresh(bool forcingRefresh, TokenCallback completion) {
    getIDTokenResult(forcingRefresh, [completion = std::move(completion)](std::optional<AuthTokenResult> result,
                                                                          platform::OptionalError error) {
        completeOnMain(completion, result ? std::optional<std::string>(result->token) : std::nullopt, std::move(error));
    });
}

void User::getIDToken(TokenCallback completion) {
    getIDTokenForcingRefresh(false, std::move(completion));
}

platform::Task<std::string> User::getIDToken(bool forcingRefresh) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<std::string>([self, forcingRefresh](auto done) {
        self->getIDTokenForcingRefresh(forcingRefresh,
                                       [done](std::optional<std::string> token, platform::OptionalError error) mutable {
                                           if (!token && !error) error = internalError(kNoTokenMessage);
                                           done(token.value_or(""), std::move(error));
                                       });
    });
}

platform::Task<std::string> User::getIDTokenForcingRefresh(bool forcingRefresh) {
    co_return co_await getIDToken(forcingRefresh);
}

platform::Task<AuthTokenResult> User::getIDTokenResult(bool forcingRefresh) {
    auto self = shared_from_this();
    auto result = co_await awaitCompletion<std::optional<AuthTokenResult>>([self, forcingRefresh](auto done) {
        self->getIDTokenResult(forcingRefresh,
                               [done](std::optional<AuthTokenResult> result, platform::OptionalError error) mutable {
                                   if (!result && !error) error = internalError(kNoTokenMessage);
                                   done(std::move(result), std::move(error));
                               });
    });
    co_return std::move(*result);
}

// --- Account changes ---

platform::Task<void> User::runUserOperation(std::shared_ptr<User> self, platform::Task<void> operation,
                                            Callback callback, bool onMain) {
    platform::OptionalError error;
    try {
        co_await std::move(operation);
    } catch (...) {
        error = currentError();
    }
    (void)self;
    if (onMain) {
        completeOnMain(callback, std::move(error));
    } else if (callback) {
        callback(std::move(error));
    }
}

void User::executeUserUpdateWithChanges(ChangeBlock changeBlock, Callback callback) {
    auto self = shared_from_this();
    startTask(runUserOperation(self, userProfileUpdate_->executeUserUpdateWithChanges(self, std::move(changeBlock)),
                               std::move(callback), true),
              "executeUserUpdateWithChanges");
}

void User::getAccountInfoRefreshingCache(
    std::function<void(std::optional<GetAccountInfoResponse::User>, platform::OptionalError)> callback) {
    auto self = shared_from_this();
    auto refresh = [](std::shared_ptr<User> self) -> platform::Task<std::optional<GetAccountInfoResponse::User>> {
        co_return co_await self->userProfileUpdate_->getAccountInfoRefreshingCache(self);
    };
    startTask(completeOnMainAfter(refresh(self), std::move(callback)), "getAccountInfoRefreshingCache");
}

void User::updateEmail(std::optional<std::string> email, std::optional<std::string> password, Callback callback) {
    const bool hadEmailPasswordCredential = hasEmailPasswordCredential();
    auto self = shared_from_this();
    executeUserUpdateWithChanges(
        [email, password](const GetAccountInfoResponse::User&, SetAccountInfoRequest& request) {
            if (email) request.email = *email;
            if (password) request.password = *password;
        },
        [self, email, hadEmailPasswordCredential, callback = std::move(callback)](platform::OptionalError error) {
            if (error) {
                if (callback) callback(std::move(error));
                return;
            }
            if (email) self->withProfile([&](Profile& p) { p.email = *email; });
            if (hadEmailPasswordCredential || (!email && !self->email())) {
                auto saveError = self->updateKeychain();
                if (callback) callback(std::move(saveError));
                return;
            }
            // The account has an e-mail now and had no password: its providers changed at the service.
            startTask(
                [](std::shared_ptr<User> self, Callback callback) -> platform::Task<void> {
                    platform::OptionalError error;
                    try {
                        const auto token = co_await self->internalGetToken(false, self->backend());
                        // The client may be gone by now: report it rather than ending in silence.
                        auto auth = requireAuth(*self);
                        GetAccountInfoRequest request(token, auth->requestConfiguration());
                        GetAccountInfoResponse response;
                        std::optional<platform::Error> callFailure;
                        try {
                            response = co_await self->backend()->call(request);
                        } catch (...) {
                            callFailure = currentError();
                        }
                        if (callFailure) {
                            self->signOutIfTokenIsInvalid(*callFailure);
                            throw platform::ErrorException(*callFailure);
                        }
                        self->withProfile([&](Profile& p) {
                            for (const auto& record :
                                 response.users.value_or(std::vector<GetAccountInfoResponse::User>{})) {
                                const auto& providers = record.providerUserInfo;
                                if (providers && !providers->empty()) p.isAnonymous = false;
                                if (providers) {
                                    for (const auto& provider : *providers) {
                                        if (provider.providerID == kEmailProviderID)
                                            p.hasEmailPasswordCredential = true;
                                    }
                                }
                            }
                        });
                        self->update(response);
                        error = self->updateKeychain();
                    } catch (...) {
                        error = currentError();
                    }
                    if (callback) callback(std::move(error));
                }(self, callback),
                "updateEmail providers");
        });
}

void User::updateEmail(std::string email, Callback completion) {
    auto self = shared_from_this();
    runInTurn<platform::OptionalError>(
        userProfileUpdate_->takeTurn(),
        [self, email = std::move(email)](Callback done) {
            self->updateEmail(std::optional<std::string>(email), std::nullopt, std::move(done));
        },
        [completion = std::move(completion)](platform::OptionalError error) {
            completeOnMain(completion, std::move(error));
        },
        "updateEmail");
}

platform::Task<void> User::updateEmail(std::string email) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self, email](auto done) { self->updateEmail(email, Callback(done)); });
}

void User::updatePassword(std::string password, Callback completion) {
    if (password.empty()) {
        if (completion) completion(AuthErrorUtils::weakPasswordError(std::string(kMissingPasswordReason)));
        return;
    }
    auto self = shared_from_this();
    runInTurn<platform::OptionalError>(
        userProfileUpdate_->takeTurn(),
        [self, password = std::move(password)](Callback done) {
            self->updateEmail(std::nullopt, std::optional<std::string>(password), std::move(done));
        },
        [completion = std::move(completion)](platform::OptionalError error) {
            completeOnMain(completion, std::move(error));
        },
        "updatePassword");
}

platform::Task<void> User::updatePassword(std::string password) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self, password](auto done) { self->updatePassword(password, Callback(done)); });
}

std::shared_ptr<UserProfileChangeRequest> User::createProfileChangeRequest() {
    auto self = shared_from_this();
    return Auth::authGlobalWorkQueue()->syncResult([self] { return UserProfileChangeRequest::make(self); });
}

void User::reload(Callback completion) {
    auto self = shared_from_this();
    runInTurn<platform::OptionalError>(
        userProfileUpdate_->takeTurn(),
        [self](Callback done) {
            self->getAccountInfoRefreshingCache([done](std::optional<GetAccountInfoResponse::User>,
                                                       platform::OptionalError error) { done(std::move(error)); });
        },
        std::move(completion), "reload");
}

platform::Task<void> User::reload() {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self](auto done) { self->reload(Callback(done)); });
}

namespace {
platform::Task<void> reauthenticateTask(std::shared_ptr<User> self, std::shared_ptr<const AuthCredential> credential,
                                        User::AuthDataResultCallback done) {
    auto mismatch = AuthErrorUtils::makeError(AuthErrorCode::userMismatch);
    auto auth = self->auth();
    if (!auth) {
        completeOnMain(done, std::shared_ptr<AuthDataResult>(), platform::OptionalError(mismatch));
        co_return;
    }
    std::shared_ptr<AuthDataResult> result;
    platform::OptionalError error;
    try {
        result = co_await auth->internalSignInAndRetrieveData(credential, true);
    } catch (...) {
        error = currentError();
    }
    if (error) {
        if (error->code() == rawValue(AuthErrorCode::userNotFound)) error = mismatch;
        completeOnMain(done, std::shared_ptr<AuthDataResult>(), std::move(error));
        co_return;
    }
    // The credential must be this user's own: another account's tokens never reach this user object,
    // also when that other account is the current one.
    auth = self->auth();
    const auto currentUID = auth ? auth->getUserID() : std::nullopt;
    const auto resultUID = result->user()->uid();
    if (!currentUID || *currentUID != resultUID || resultUID != self->uid()) {
        completeOnMain(done, result, platform::OptionalError(mismatch));
        co_return;
    }
    try {
        co_await self->userProfileUpdate()->setTokenService(self, result->user()->tokenService());
    } catch (...) {
        error = currentError();
    }
    completeOnMain(done, result, std::move(error));
}
}  // namespace

void User::reauthenticate(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion) {
    auto self = shared_from_this();
    runInTurn<std::shared_ptr<AuthDataResult>, platform::OptionalError>(
        userProfileUpdate_->takeTurn(),
        [self, credential = std::move(credential)](AuthDataResultCallback done) {
            startTask(reauthenticateTask(self, credential, std::move(done)), "reauthenticate");
        },
        std::move(completion), "reauthenticate");
}

platform::Task<std::shared_ptr<AuthDataResult>> User::reauthenticate(std::shared_ptr<const AuthCredential> credential) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<std::shared_ptr<AuthDataResult>>(
        [self, credential](auto done) { self->reauthenticate(credential, AuthDataResultCallback(done)); });
}

void User::link(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion) {
    auto self = shared_from_this();
    runInTurn<std::shared_ptr<AuthDataResult>, platform::OptionalError>(
        userProfileUpdate_->takeTurn(),
        [self, credential = std::move(credential)](AuthDataResultCallback done) {
            if (self->providerDataContains(credential->provider())) {
                completeOnMain(
                    done, std::shared_ptr<AuthDataResult>(),
                    platform::OptionalError(AuthErrorUtils::makeError(AuthErrorCode::providerAlreadyLinked)));
                return;
            }
            if (auto email = std::dynamic_pointer_cast<const EmailAuthCredential>(credential)) {
                self->link(email, std::move(done));
                return;
            }
            if (auto gameCenter = std::dynamic_pointer_cast<const GameCenterAuthCredential>(credential)) {
                self->link(gameCenter, std::move(done));
                return;
            }
            startTask(completeOnMainAfter(self->userProfileUpdate_->link(self, credential), std::move(done)), "link");
        },
        std::move(completion), "link");
}

platform::Task<std::shared_ptr<AuthDataResult>> User::link(std::shared_ptr<const AuthCredential> credential) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<std::shared_ptr<AuthDataResult>>(
        [self, credential](auto done) { self->link(credential, AuthDataResultCallback(done)); });
}

void User::link(std::shared_ptr<const EmailAuthCredential> credential, AuthDataResultCallback completion) {
    if (hasEmailPasswordCredential()) {
        completeOnMain(completion, std::shared_ptr<AuthDataResult>(),
                       platform::OptionalError(AuthErrorUtils::makeError(AuthErrorCode::providerAlreadyLinked)));
        return;
    }
    if (const auto* password = credential->password()) {
        link(credential->email(), *password, std::make_shared<AuthDataResult>(shared_from_this()),
             std::move(completion));
        return;
    }
    startTask(
        [](std::shared_ptr<User> self, std::shared_ptr<const EmailAuthCredential> credential,
           AuthDataResultCallback completion) -> platform::Task<void> {
            std::shared_ptr<AuthDataResult> result;
            platform::OptionalError error;
            try {
                // A failed token fetch ends the link: without an ID token the request would sign into
                // (or create) another account instead of linking this one.
                const auto token = co_await self->internalGetToken(false, self->backend());
                const auto query =
                    AuthWebUtils::parseURLQuery(credential->link() ? *credential->link() : std::string());
                auto code = query.find("oobCode");
                auto auth = self->auth();
                if (code == query.end() || !auth) throw platform::ErrorException(internalError(kMissingOOBCodeMessage));
                EmailLinkSignInRequest request(credential->email(), code->second, auth->requestConfiguration());
                request.idToken = token;
                auto response = co_await self->backend()->call(request);
                result = co_await applyLinkReply(self, response);
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, std::move(result), std::move(error));
        }(shared_from_this(), std::move(credential), std::move(completion)),
        "link e-mail link");
}

void User::link(std::string email, std::string password, std::shared_ptr<AuthDataResult> authResult,
                AuthDataResultCallback callback) {
    (void)authResult;
    startTask(
        [](std::shared_ptr<User> self, std::string email, std::string password,
           AuthDataResultCallback callback) -> platform::Task<void> {
            std::shared_ptr<AuthDataResult> result;
            platform::OptionalError error;
            std::string token;
            try {
                token = co_await self->internalGetToken(false, self->backend());
            } catch (...) {
                error = currentError();
            }
            if (!error) {
                try {
                    auto auth = requireAuth(*self);
                    SignUpNewUserRequest request(std::move(email), std::move(password), std::nullopt, token,
                                                 auth->requestConfiguration());
                    auto response = co_await self->backend()->call(request);
                    result = co_await applyLinkReply(self, response);
                } catch (...) {
                    error = currentError();
                    self->signOutIfTokenIsInvalid(*error);
                }
            }
            completeOnMain(callback, std::move(result), std::move(error));
        }(shared_from_this(), std::move(email), std::move(password), std::move(callback)),
        "link e-mail and password");
}

void User::link(std::shared_ptr<const GameCenterAuthCredential> credential, AuthDataResultCallback completion) {
    startTask(
        [](std::shared_ptr<User> self, std::shared_ptr<const GameCenterAuthCredential> credential,
           AuthDataResultCallback completion) -> platform::Task<void> {
            std::shared_ptr<AuthDataResult> result;
            platform::OptionalError error;
            try {
                const auto token = co_await self->internalGetToken(false, self->backend());
                auto auth = requireAuth(*self);
                if (!credential->publicKeyURL() || !credential->signature() || !credential->salt()) {
                    throw platform::ErrorException(internalError(kGameCenterMissingFieldsMessage));
                }
                SignInWithGameCenterRequest request(*credential->publicKeyURL(), *credential->signature(),
                                                    *credential->salt(), auth->requestConfiguration());
                request.playerID = credential->playerID();
                request.teamPlayerID = credential->teamPlayerID();
                request.gamePlayerID = credential->gamePlayerID();
                request.timestamp = credential->timestamp();
                request.displayName = credential->displayName();
                request.accessToken = token;
                auto response = co_await self->backend()->call(request);
                result = co_await applyLinkReply(self, response);
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, std::move(result), std::move(error));
        }(shared_from_this(), std::move(credential), std::move(completion)),
        "link Game Center");
}

void User::unlink(std::string provider, UserCallback completion) {
    // The unlink takes its place in line here, at the call.
    startTask(completeOnMainAfter(unlink(std::move(provider)), std::move(completion)), "unlink");
}

namespace {
platform::Task<std::shared_ptr<User>>
unlinkInTurn(std::shared_ptr<User> self, std::shared_ptr<UserProfileUpdate::Turn> turn, std::string provider) {
    co_await turn->begin();
    co_return co_await self->userProfileUpdate()->unlink(self, std::move(provider));
}
}  // namespace

platform::Task<std::shared_ptr<User>> User::unlink(std::string provider) {
    // Not a coroutine itself, so the place in line is taken at the call, not when the task first runs.
    return unlinkInTurn(shared_from_this(), userProfileUpdate_->takeTurn(), std::move(provider));
}

bool User::providerDataContains(std::string_view providerID) const {
    return withProfile([&](const Profile& p) { return p.providerData.contains(providerID); });
}

void User::removeProvider(std::string_view providerID) {
    withProfile([&](Profile& p) {
        if (auto it = p.providerData.find(providerID); it != p.providerData.end()) p.providerData.erase(it);
        if (providerID == kEmailProviderID) p.hasEmailPasswordCredential = false;
    });
}

namespace {
// The shape of the verification, change-of-address and deletion operations: the token, then one request
// built with the identity client's configuration.
using RequestSender = std::function<platform::Task<void>(std::shared_ptr<User>, std::shared_ptr<Auth>, std::string)>;

void sendWithToken(std::shared_ptr<User> self, RequestSender send, User::Callback completion, const char* what) {
    Auth::authGlobalWorkQueue()->async(
        [self, send = std::move(send), completion = std::move(completion), what]() mutable {
            startTask(
                [](std::shared_ptr<User> self, RequestSender send, User::Callback completion) -> platform::Task<void> {
                    platform::OptionalError error;
                    try {
                        const auto token = co_await self->internalGetToken(false, self->backend());
                        auto auth = requireAuth(*self);
                        co_await send(self, auth, token);
                    } catch (...) {
                        error = currentError();
                    }
                    completeOnMain(completion, std::move(error));
                }(self, std::move(send), std::move(completion)),
                what);
        });
}
}  // namespace

void User::sendEmailVerification(Callback completion) {
    sendEmailVerification(nullptr, std::move(completion));
}

void User::sendEmailVerification(std::shared_ptr<const ActionCodeSettings> settings, Callback completion) {
    sendWithToken(
        shared_from_this(),
        [settings](std::shared_ptr<User> self, std::shared_ptr<Auth> auth, std::string token) -> platform::Task<void> {
            auto request = GetOOBConfirmationCodeRequest::forEmailVerification(
                token, actionCodeSettingsValues(settings), auth->requestConfiguration());
            std::optional<platform::Error> failure;
            try {
                co_await self->backend()->call(request);
            } catch (...) {
                failure = currentError();
            }
            if (failure) {
                self->signOutIfTokenIsInvalid(*failure);
                throw platform::ErrorException(*failure);
            }
        },
        std::move(completion), "sendEmailVerification");
}

platform::Task<void> User::sendEmailVerification(std::shared_ptr<const ActionCodeSettings> settings) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>(
        [self, settings](auto done) { self->sendEmailVerification(settings, Callback(done)); });
}

void User::deleteUser(Callback completion) {
    sendWithToken(
        shared_from_this(),
        [](std::shared_ptr<User> self, std::shared_ptr<Auth> auth, std::string token) -> platform::Task<void> {
            DeleteAccountRequest request(self->uid(), token, auth->requestConfiguration());
            co_await self->backend()->call(request);
            auth->signOutUserWithUID(self->uid(), /*reportErrors=*/true);
        },
        std::move(completion), "delete");
}

platform::Task<void> User::deleteUser() {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self](auto done) { self->deleteUser(Callback(done)); });
}

void User::sendEmailVerificationBeforeUpdating(std::string email, Callback completion) {
    sendEmailVerificationBeforeUpdating(std::move(email), nullptr, std::move(completion));
}

void User::sendEmailVerificationBeforeUpdating(std::string email, std::shared_ptr<const ActionCodeSettings> settings,
                                               Callback completion) {
    sendWithToken(
        shared_from_this(),
        [email = std::move(email), settings](std::shared_ptr<User> self, std::shared_ptr<Auth> auth,
                                             std::string token) -> platform::Task<void> {
            auto request = GetOOBConfirmationCodeRequest::forVerifyBeforeUpdateEmail(
                token, email, actionCodeSettingsValues(settings), auth->requestConfiguration());
            co_await self->backend()->call(request);
        },
        std::move(completion), "sendEmailVerificationBeforeUpdating");
}

platform::Task<void> User::sendEmailVerificationBeforeUpdating(std::string email,
                                                               std::shared_ptr<const ActionCodeSettings> settings) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self, email, settings](auto done) {
        self->sendEmailVerificationBeforeUpdating(email, settings, Callback(done));
    });
}

// --- Archive ---

void User::encodeWithCoder(platform::KeyedArchiver& coder) const {
    // The provider profiles go in inside a dictionary, where the typed call cannot register their class.
    platform::archiveClassName<UserInfoImpl>();
    auto configuration = auth() ? requestConfiguration() : nullptr;
    withProfile([&](const Profile& p) {
        coder.encodeObject(platform::Value(p.uid), kUserIDCodingKey);
        coder.encodeBool(p.isAnonymous, kAnonymousCodingKey);
        coder.encodeBool(p.hasEmailPasswordCredential, kHasEmailPasswordCredentialCodingKey);
        platform::Dictionary providers;
        for (const auto& [id, info] : p.providerData) providers[id] = platform::Value::object(info);
        coder.encodeObject(platform::Value(std::move(providers)), kProviderDataKey);
        coding::encodeText(coder, p.email, kEmailCodingKey);
        coding::encodeText(coder, p.phoneNumber, kPhoneNumberCodingKey);
        coder.encodeBool(p.isEmailVerified, kEmailVerifiedCodingKey);
        encodeURL(coder, p.photoURL, kPhotoURLCodingKey);
        coding::encodeText(coder, p.displayName, kDisplayNameCodingKey);
        coder.encodeObject(p.metadata, kMetadataCodingKey);
    });
    coding::encodeText(coder, tenantID(), kTenantIDCodingKey);
    if (configuration) {
        coder.encodeObject(platform::Value(configuration->apiKey()), kAPIKeyCodingKey);
        coder.encodeObject(platform::Value(configuration->appID()), kZudiridiAppIDCodingKey);
    }
    coder.encodeObject(tokenService(), kTokenServiceCodingKey);
    coder.encodeObject(multiFactor(), kMultiFactorCodingKey);
}

std::shared_ptr<User> User::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto uid = coder.decodeObjectOfClass<std::string>(kUserIDCodingKey);
    if (!uid) return nullptr;
    auto tokenService = coder.decodeObjectOfClass<SecureTokenService>(kTokenServiceCodingKey);
    if (!tokenService) return nullptr;

    Profile profile;
    profile.uid = std::move(*uid);
    profile.isAnonymous = coder.decodeBool(kAnonymousCodingKey);
    profile.hasEmailPasswordCredential = coder.decodeBool(kHasEmailPasswordCredentialCodingKey);
    profile.displayName = coding::decodeText(coder, kDisplayNameCodingKey);
    profile.photoURL = decodeURL(coder, kPhotoURLCodingKey);
    profile.email = coding::decodeText(coder, kEmailCodingKey);
    profile.phoneNumber = coding::decodeText(coder, kPhoneNumberCodingKey);
    profile.isEmailVerified = coder.decodeBool(kEmailVerifiedCodingKey);
    auto providers = coder.decodeObjectOfClasses(
        platform::archiveClasses<platform::Dictionary, std::string, UserInfoImpl>(), kProviderDataKey);
    if (auto* dictionary = providers.dictionary()) {
        for (const auto& [id, value] : *dictionary) {
            auto info = value.object<UserInfoImpl>();
            if (!info) {
                profile.providerData.clear();
                break;
            }
            profile.providerData[id] = std::move(info);
        }
    }
    profile.metadata = coder.decodeObjectOfClass<UserMetadata>(kMetadataCodingKey);
    if (!profile.metadata) profile.metadata = std::make_shared<UserMetadata>(std::nullopt, std::nullopt);
    auto tenantID = coding::decodeText(coder, kTenantIDCodingKey);
    auto multiFactor = coder.decodeObjectOfClass<MultiFactor>(kMultiFactorCodingKey);
    auto apiKey = coding::decodeText(coder, kAPIKeyCodingKey);
    auto appID = coding::decodeText(coder, kZudiridiAppIDCodingKey);

    auto user = std::make_shared<User>(tokenService, std::make_shared<AuthBackend>());
    user->profile_ = std::move(profile);
    user->tenantID_ = std::move(tenantID);
    user->requestConfiguration_ = AuthRequestConfiguration::make(apiKey.value_or(""), appID.value_or(""));
    if (multiFactor) user->multiFactor_ = std::move(multiFactor);
    user->multiFactor_->setUser(user);
    return user;
}

}  // namespace brisko::auth
