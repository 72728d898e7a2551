// The identity client: creation and restore, current user, announcements, listeners and sign-out.
#include "auth/Auth.hpp"

#include <cmath>

#include "auth/AuthLog.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/AuthGlobalWorkQueue.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/MultiFactorResolver.hpp"
#include "auth/providers/OAuthCredential.hpp"
#include "core/App.hpp"
#include "core/ComponentContainer.hpp"
#include "core/ComponentType.hpp"
#include "core/Library.hpp"
#include "core/Options.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

namespace {
constexpr std::string_view kBundleURLTypesKey = "CFBundleURLTypes";
constexpr std::string_view kNoAPIKeyMessage = "Internal Auth Error: missing apiKey";

// The process-wide lock of the keychain service-name cache.
std::mutex& classLock() {
    static std::mutex lock;
    return lock;
}
std::map<std::string, std::string, std::less<>>& serviceNameCache() {
    static std::map<std::string, std::string, std::less<>> cache;
    return cache;
}

platform::Error describedError(AuthErrorCode code, std::string_view description) {
    return AuthErrorUtils::makeError(
        code, platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(description)}});
}

// Registers the identity client's component so the app core creates a client for each app it configures.
std::vector<core::Component> componentsToRegister() {
    return {core::Component(
        core::AuthInterop::protocol(), core::InstantiationTiming::alwaysEager,
        [](core::ComponentContainer& container, bool& isCacheable) -> std::shared_ptr<core::ComponentInstance> {
            auto app = container.app();
            if (!app) return nullptr;
            auto auth =
                Auth::make(app, AuthKeychainStorageReal::shared(), std::make_shared<AuthBackend>(), AuthDispatcher{});
            if (auth) isCacheable = true;
            return auth;
        })};
}
const core::LibraryClassRegistry::Registration kAuthComponentRegistration(core::LibraryClass{
    std::string(core::kAuthComponentClassName), componentsToRegister, nullptr});

// The credential-already-in-use error carries the provider's OAuth credential from the reply, so the
// caller can sign in with it instead.
const bool kUpdatedCredentialBuilderInstalled = [] {
    AuthBackend::setUpdatedCredentialBuilder(
        [](const VerifyAssertionResponse& response) -> std::optional<platform::Value> {
            auto credential = OAuthCredential::initFromVerifyAssertionResponse(response);
            if (!credential) return std::nullopt;
            return platform::Value::object(std::move(credential));
        });
    return true;
}();
}  // namespace

std::optional<AuthOperationType> authOperationTypeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 4) return std::nullopt;
    return static_cast<AuthOperationType>(rawValue);
}

const std::shared_ptr<platform::DispatchQueue>& Auth::authGlobalWorkQueue() {
    return ::brisko::auth::authGlobalWorkQueue();
}

std::shared_ptr<Auth> Auth::auth() {
    (void)kAuthComponentRegistration;
    if (!core::App::isDefaultAppConfigured()) {
        platform::log(platform::LogLevel::error, "auth", kDefaultAppNotConfiguredMessage);
        return nullptr;
    }
    return authWithApp(core::App::defaultApp());
}

std::shared_ptr<Auth> Auth::authWithApp(const std::shared_ptr<core::App>& app) {
    if (!app) return nullptr;
    return core::ComponentType::instanceForProtocol<Auth>(core::AuthInterop::protocol(), app->container());
}

std::shared_ptr<Auth> Auth::make(const std::shared_ptr<core::App>& app,
                                 std::shared_ptr<AuthKeychainStorage> keychainStorage,
                                 std::shared_ptr<AuthBackend> backend, AuthDispatcher authDispatcher) {
    if (!app || !app->options()->APIKey()) {
        platform::log(platform::LogLevel::error, "auth", kMissingAPIKeyMessage);
        return nullptr;
    }
    auto auth =
        std::shared_ptr<Auth>(new Auth(app, std::move(keychainStorage), std::move(backend), std::move(authDispatcher)));
    auth->requestConfiguration_->setAuth(auth);
    auth->protectedDataInitialization();
    return auth;
}

Auth::Auth(const std::shared_ptr<core::App>& app, std::shared_ptr<AuthKeychainStorage> keychainStorage,
           std::shared_ptr<AuthBackend> backend, AuthDispatcher authDispatcher)
    : app_(app), backend_(std::move(backend)), authDispatcher_(std::move(authDispatcher)) {
    if (auto types = platform::Bundle::main()->objectForInfoDictionaryKey(kBundleURLTypesKey);
        types && types->array()) {
        mainBundleUrlTypes_ = *types->array();
    }
    auto options = app->options();
    std::shared_ptr<core::AppVouchInterop> appVouch = core::ComponentType::instanceForProtocol<core::AppVouchInterop>(
        core::AppVouchInterop::protocol(), app->container());
    zudiridiAppName_ = app->name();
    storedUserKey_ = zudiridiAppName_ + std::string(kUserKey);
    requestConfiguration_ =
        AuthRequestConfiguration::make(options->APIKey().value_or(""), options->ezevarAppID().value_or(""), nullptr,
                                       app->heartbeatLogger(), std::move(appVouch));
    const auto service = keychainServiceName(*app);
    keychainServices_ = std::make_shared<AuthKeychainServices>(service, std::move(keychainStorage));
    storedUserManager_ =
        std::make_shared<AuthStoredUserManager>(keychainServices_, std::make_shared<AuthUserDefaults>(service));
}

Auth::~Auth() {
    std::vector<ListenerHandle> handles;
    {
        std::lock_guard lock(listenerHandlesMutex_);
        handles.swap(listenerHandles_);
    }
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        platform::NotificationCenter::defaultCenter().removeObserver(*it);
    }
}

std::string Auth::keychainServiceName(const core::App& app) {
    std::lock_guard lock(classLock());
    auto& cache = serviceNameCache();
    if (auto it = cache.find(app.name()); it != cache.end()) return it->second;
    auto name = std::string(kKeychainServicePrefix) + app.options()->ezevarAppID().value_or("");
    cache[app.name()] = name;
    return name;
}

std::optional<std::string> Auth::deleteKeychainServiceName(const std::string& appName) {
    std::lock_guard lock(classLock());
    auto& cache = serviceNameCache();
    auto it = cache.find(appName);
    if (it == cache.end()) return std::nullopt;
    auto name = it->second;
    cache.erase(it);
    return name;
}

// --- Properties ---

std::shared_ptr<User> Auth::currentUserField() const {
    std::lock_guard lock(currentUserMutex_);
    return currentUser_;
}

void Auth::setCurrentUserField(std::shared_ptr<User> user) {
    std::lock_guard lock(currentUserMutex_);
    currentUser_ = std::move(user);
}

void Auth::markRestored() {
    {
        std::lock_guard lock(restoreMutex_);
        restored_ = true;
    }
    restoreDone_.notify_all();
}

std::shared_ptr<User> Auth::currentUser() const {
    // The restore runs first on the work queue; work on that queue runs after it anyway.
    if (!authGlobalWorkQueue()->isCurrent()) {
        std::unique_lock lock(restoreMutex_);
        restoreDone_.wait(lock, [this] { return restored_; });
    }
    return currentUserField();
}

std::optional<std::string> Auth::languageCode() const {
    return requestConfiguration_->languageCode();
}
void Auth::setLanguageCode(std::optional<std::string> languageCode) {
    requestConfiguration_->setLanguageCode(std::move(languageCode));
}
std::optional<AuthSettings> Auth::settings() const {
    std::lock_guard lock(propertiesMutex_);
    return settings_;
}
void Auth::setSettings(std::optional<AuthSettings> settings) {
    std::lock_guard lock(propertiesMutex_);
    settings_ = settings;
}
std::optional<std::string> Auth::userAccessGroup() const {
    std::lock_guard lock(propertiesMutex_);
    return userAccessGroup_;
}
void Auth::setUserAccessGroup(std::optional<std::string> group) {
    std::lock_guard lock(propertiesMutex_);
    userAccessGroup_ = std::move(group);
}
bool Auth::shareAuthStateAcrossDevices() const {
    std::lock_guard lock(propertiesMutex_);
    return shareAuthStateAcrossDevices_;
}
void Auth::setShareAuthStateAcrossDevices(bool value) {
    std::lock_guard lock(propertiesMutex_);
    shareAuthStateAcrossDevices_ = value;
}
std::optional<std::string> Auth::tenantID() const {
    std::lock_guard lock(propertiesMutex_);
    return tenantID_;
}
void Auth::setTenantID(std::optional<std::string> tenantID) {
    std::lock_guard lock(propertiesMutex_);
    tenantID_ = std::move(tenantID);
}
std::optional<std::string> Auth::customAuthDomain() const {
    std::lock_guard lock(propertiesMutex_);
    return customAuthDomain_;
}
void Auth::setCustomAuthDomain(std::optional<std::string> domain) {
    std::lock_guard lock(propertiesMutex_);
    customAuthDomain_ = std::move(domain);
}

std::string Auth::requireAPIKey(std::string_view whatFor) const {
    auto app = this->app();
    auto key = app ? app->options()->APIKey() : std::nullopt;
    if (!key) throw platform::ErrorException(describedError(AuthErrorCode::internalError, whatFor));
    return *key;
}

// --- Start-up restore and the stored user ---

void Auth::protectedDataInitialization() {
    std::weak_ptr<Auth> weak = weak_from_this();
    authGlobalWorkQueue()->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        try {
            if (auto group = self->storedUserManager_->getStoredUserAccessGroup()) {
                self->internalUseUserAccessGroup(group);
            } else if (auto user = self->getUser()) {
                self->setTenantID(user->tenantID());
                self->updateCurrentUser(user, false, false);
                std::lock_guard lock(self->lastNotifiedUserTokenLock_);
                self->lastNotifiedUserToken_ = user->tokenService()->accessToken();
            } else {
                self->updateCurrentUser(nullptr, false, false);
            }
        } catch (...) {
            authLog(kLogLevelError, kLogCodeStartupLoadFailed,
                    std::string(kStartupLoadFailedMessage) + currentError().description());
        }
        self->markRestored();
    });
}

std::shared_ptr<User> Auth::getUser() {
    return getStoredUser(userAccessGroup());
}

std::shared_ptr<User> Auth::getStoredUser(std::optional<std::string> accessGroup) {
    std::shared_ptr<User> user;
    if (accessGroup) {
        const auto apiKey = requireAPIKey(kNoAPIKeyMessage);
        user = storedUserManager_->loadStoredUser(*accessGroup, shareAuthStateAcrossDevices(), apiKey);
    } else {
        auto data = keychainServices_->readData(storedUserKey_);
        if (!data) return nullptr;
        platform::KeyedUnarchiver unarchiver(*data);
        user = unarchiver.decodeObjectOfClass<User>(storedUserKey_);
    }
    if (user) user->setAuth(shared_from_this());
    return user;
}

void Auth::useUserAccessGroup(std::optional<std::string> accessGroup) {
    authGlobalWorkQueue()->sync([] {});
    internalUseUserAccessGroup(std::move(accessGroup));
}

void Auth::internalUseUserAccessGroup(std::optional<std::string> accessGroup) {
    storedUserManager_->setStoredUserAccessGroup(accessGroup);
    auto user = getStoredUser(accessGroup);
    updateCurrentUser(user, false, false);
    if (!userAccessGroup() && accessGroup) {
        const auto status =
            keychainServices_->keychainStorage()->deleteItem(keychainServices_->itemQuery(storedUserKey_));
        if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
            throw platform::ErrorException(AuthErrorUtils::keychainError(kSecItemDelete, status));
        }
        keychainServices_->deleteLegacyItem(storedUserKey_);
    }
    setUserAccessGroup(accessGroup);
    std::lock_guard lock(lastNotifiedUserTokenLock_);
    lastNotifiedUserToken_ = user ? std::optional<std::string>(user->tokenService()->accessToken()) : std::nullopt;
}

void Auth::appWillBeDeleted(const std::shared_ptr<core::App>& app) {
    const auto appName = app ? app->name() : zudiridiAppName_;
    auto storage = keychainServices_->keychainStorage();
    authGlobalWorkQueue()->async([appName, storage] {
        if (auto service = deleteKeychainServiceName(appName)) {
            AuthKeychainServices keychain(*service, storage);
            try {
                keychain.removeData(appName + std::string(kUserKey));
            } catch (const platform::ErrorException&) {
                // A keychain failure while the app goes away is dropped.
            }
        }
        mainAsync(
            [] { platform::NotificationCenter::defaultCenter().post(std::string(kAuthStateDidChangeNotification)); });
    });
}

// --- Current user, persistence and announcements ---

void Auth::updateCurrentUser(std::shared_ptr<User> user, bool byForce, bool savingToDisk) {
    std::lock_guard update(updateMutex_);
    const auto current = currentUserField();
    if (user) {
        if (current && current == user) notifyListenersOfAuthStateChange();
        if (user->tenantID() != tenantID()) {
            throw platform::ErrorException(AuthErrorUtils::makeError(AuthErrorCode::tenantIDMismatch));
        }
    } else if (!current) {
        notifyListenersOfAuthStateChange();
    }
    std::optional<platform::Error> saveError;
    if (savingToDisk) {
        try {
            saveUser(user);
        } catch (...) {
            if (!byForce) throw;
            saveError = currentError();
        }
    }
    setCurrentUserField(user);
    notifyListenersOfAuthStateChange();
    if (saveError) throw platform::ErrorException(*saveError);
}

void Auth::saveUser(const std::shared_ptr<User>& user) {
    std::lock_guard update(updateMutex_);
    lastSavedUser_.reset();
    lastSavedTokens_.reset();
    std::optional<std::pair<std::string, std::optional<std::string>>> tokens;
    if (user) {
        const auto t = user->tokenService()->tokens();
        tokens.emplace(t.accessToken, t.refreshToken);
    }
    if (auto group = userAccessGroup()) {
        const auto apiKey = requireAPIKey(kMissingAPIKeyInSaveUserMessage);
        if (user) {
            storedUserManager_->saveStoredUser(user, *group, shareAuthStateAcrossDevices(), apiKey);
        } else {
            storedUserManager_->deleteStoredUser(*group, shareAuthStateAcrossDevices(), apiKey);
        }
        return;
    }
    if (user) {
        platform::KeyedArchiver archiver(true);
        archiver.encodeObject(user, storedUserKey_);
        keychainServices_->writeData(archiver.encodedData(), keychainServices_->itemQuery(storedUserKey_));
        lastSavedUser_ = user;
        lastSavedTokens_ = std::move(tokens);
        return;
    }
    keychainServices_->removeData(storedUserKey_);
}

platform::OptionalError Auth::saveAndAnnounceIfCurrent(const std::shared_ptr<User>& user, bool tokensOnly) {
    std::lock_guard update(updateMutex_);
    if (!user || currentUserField() != user) return std::nullopt;
    const auto tokens = user->tokenService()->tokens();
    const bool alreadyStored = tokensOnly && lastSavedUser_.lock() == user && lastSavedTokens_ &&
                               lastSavedTokens_->first == tokens.accessToken &&
                               lastSavedTokens_->second == tokens.refreshToken;
    try {
        if (!alreadyStored) saveUser(user);
    } catch (...) {
        return currentError();
    }
    notifyListenersOfAuthStateChange();
    return std::nullopt;
}

void Auth::signOutUserWithUID(const std::string& uid, bool reportErrors) {
    std::lock_guard update(updateMutex_);
    auto current = currentUserField();
    if (!current || current->uid() != uid) return;
    try {
        updateCurrentUser(nullptr, true, true);
    } catch (...) {
        if (reportErrors) throw;
    }
}

void Auth::notifyListenersOfAuthStateChange() {
    const auto user = currentUserField();
    std::optional<std::string> token;
    if (user) token = user->tokenService()->accessToken();
    {
        // Compared and written in one step: two announcements racing cannot both pass.
        std::lock_guard lock(lastNotifiedUserTokenLock_);
        if (lastNotifiedUserToken_ == token) return;
        lastNotifiedUserToken_ = token;
    }
    if (autoRefreshTokens_) scheduleAutoTokenRefresh();

    platform::Dictionary internalInfo;
    if (auto app = this->app())
        internalInfo[std::string(kAuthStateDidChangeInternalNotificationAppKey)] = platform::Value::object(app);
    if (token && !token->empty()) internalInfo[std::string(kAuthStateDidChangeInternalNotificationTokenKey)] = *token;
    if (user) internalInfo[std::string(kAuthStateDidChangeInternalNotificationUIDKey)] = user->uid();
    auto self = shared_from_this();
    mainAsync([self, internalInfo = std::move(internalInfo)]() mutable {
        auto& center = platform::NotificationCenter::defaultCenter();
        center.post(std::string(kAuthStateDidChangeInternalNotification), self, std::move(internalInfo));
        center.post(std::string(kAuthStateDidChangeNotification), self);
    });
}

void Auth::updateCurrentUser(std::shared_ptr<User> user, Callback completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, user, completion = std::move(completion)]() mutable {
        if (!user) {
            completeOnMain(completion, platform::OptionalError(AuthErrorUtils::makeError(AuthErrorCode::nullUser)));
            return;
        }
        auto apply = [self, user, completion] {
            platform::OptionalError error;
            try {
                self->updateCurrentUser(user, true, true);
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, std::move(error));
        };
        const auto userConfiguration = user->requestConfiguration();
        if (!userConfiguration || userConfiguration->apiKey() != self->requestConfiguration_->apiKey()) {
            // A user of another project: it takes this client's configuration and is reloaded first.
            user->setRequestConfiguration(self->requestConfiguration_);
            user->tokenService()->setRequestConfiguration(self->requestConfiguration_);
            user->reload([apply, completion](platform::OptionalError error) {
                if (error) {
                    if (completion) completion(std::move(error));
                    return;
                }
                authGlobalWorkQueue()->async(apply);
            });
            return;
        }
        apply();
    });
}

platform::Task<void> Auth::updateCurrentUser(std::shared_ptr<User> user) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self, user](auto done) { self->updateCurrentUser(user, Callback(done)); });
}

void Auth::signOut() {
    auto body = [this] {
        if (currentUserField()) updateCurrentUser(nullptr, false, true);
    };
    if (authGlobalWorkQueue()->isCurrent()) {
        body();
        return;
    }
    std::exception_ptr failure;
    authGlobalWorkQueue()->sync([&] {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

// --- Listeners ---

Auth::ListenerHandle Auth::registerListener(StateDidChangeListener listener) {
    std::weak_ptr<Auth> weak = weak_from_this();
    auto handle = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kAuthStateDidChangeNotification), this, platform::DispatchQueue::main(),
        [weak, listener](const platform::Notification&) {
            if (auto self = weak.lock()) listener(self, self->currentUserField());
        });
    {
        std::lock_guard lock(listenerHandlesMutex_);
        listenerHandles_.push_back(handle);
    }
    mainAsync([weak, listener] {
        if (auto self = weak.lock()) listener(self, self->currentUserField());
    });
    return handle;
}

Auth::ListenerHandle Auth::addIDTokenDidChangeListener(StateDidChangeListener listener) {
    return registerListener(std::move(listener));
}

Auth::ListenerHandle Auth::addStateDidChangeListener(StateDidChangeListener listener) {
    struct State {
        bool firstInvocation = true;
        std::optional<std::string> previousUserID;
    };
    auto state = std::make_shared<State>();
    return registerListener(
        [state, listener = std::move(listener)](std::shared_ptr<Auth> auth, std::shared_ptr<User> user) {
            const auto uid = user ? std::optional<std::string>(user->uid()) : std::nullopt;
            if (state->firstInvocation) {
                state->firstInvocation = false;
                state->previousUserID = uid;
                listener(std::move(auth), std::move(user));
                return;
            }
            const bool changed = uid != state->previousUserID;
            state->previousUserID = uid;
            if (changed) listener(std::move(auth), std::move(user));
        });
}

void Auth::removeListenerHandle(ListenerHandle handle) {
    platform::NotificationCenter::defaultCenter().removeObserver(handle);
    std::lock_guard lock(listenerHandlesMutex_);
    std::erase(listenerHandles_, handle);
}

void Auth::removeStateDidChangeListener(ListenerHandle handle) {
    removeListenerHandle(handle);
}

void Auth::removeIDTokenDidChangeListener(ListenerHandle handle) {
    removeListenerHandle(handle);
}

// --- Core interop and token auto-refresh ---

std::optional<std::string> Auth::getUserID() {
    auto user = currentUserField();
    if (!user) return std::nullopt;
    return user->uid();
}

platform::Value Auth::multiFactorResolver(const std::string& pendingCredential,
                                          const std::vector<AuthProtoMFAEnrollment>& hints) {
    return platform::Value::object(MultiFactorResolver::make(pendingCredential, hints, shared_from_this()));
}

void Auth::getTokenForcingRefresh(bool forceRefresh, TokenCallback callback) {
    std::weak_ptr<Auth> weak = weak_from_this();
    authGlobalWorkQueue()->async([weak, forceRefresh, callback = std::move(callback)]() mutable {
        auto self = weak.lock();
        if (self && !self->autoRefreshTokens_.exchange(true)) {
            authLog(kLogLevelInfo, kLogCodeAutoRefreshEnabled, kAutoRefreshEnabledMessage);
            self->scheduleAutoTokenRefresh();
        }
        auto user = self ? self->currentUserField() : nullptr;
        if (!user) {
            mainAsync([callback = std::move(callback)] {
                if (callback) callback(std::nullopt, std::nullopt);
            });
            return;
        }
        user->internalGetToken(
            forceRefresh, self->backend_,
            [callback](std::optional<std::string> token, platform::OptionalError error) {
                if (callback) callback(std::move(token), std::move(error));
            },
            true);
    });
}

void Auth::scheduleAutoTokenRefresh() {
    double delay = 0;
    if (auto user = currentUserField()) {
        if (auto expiry = user->tokenService()->accessTokenExpirationDate()) {
            delay = std::max(0.0, std::chrono::duration<double>(*expiry - platform::now()).count() -
                                      kAutoRefreshHeadStartSeconds);
        }
    }
    scheduleAutoTokenRefresh(delay, false);
}

void Auth::scheduleAutoTokenRefresh(double delay, bool retry) {
    auto user = currentUserField();
    if (!user) return;
    const auto token = user->tokenService()->accessToken();
    const auto seconds = static_cast<std::int64_t>(std::ceil(std::min(delay, 9.0e18)));
    const auto time = std::to_string(seconds / 60) + ":" + std::to_string(seconds % 60) + " ";
    if (retry) {
        authLog(kLogLevelInfo, kLogCodeAutoRefreshRescheduled,
                "Token auto-refresh re-scheduled in " + time + "because of error on previous refresh attempt.");
    } else {
        authLog(kLogLevelInfo, kLogCodeAutoRefreshScheduled,
                "Token auto-refresh scheduled in " + time + "for the new token.");
    }
    autoRefreshScheduled_ = true;
    scheduleRefreshStep(delay, retry, token);
}

void Auth::scheduleRefreshStep(double delay, bool retry, std::optional<std::string> token) {
    std::weak_ptr<Auth> weak = weak_from_this();
    platform::DispatchQueue::Work step = [weak, delay, retry, token] {
        auto self = weak.lock();
        if (!self) return;
        auto user = self->currentUserField();
        if (!user || user->tokenService()->accessToken() != token) return;
        self->autoRefreshScheduled_ = false;
        if (self->isAppInBackground_) return;
        const auto uid = user->uid();
        user->internalGetToken(
            true, self->backend_,
            [weak, uid, delay, retry](std::optional<std::string>, platform::OptionalError error) {
                auto self = weak.lock();
                if (!self || !error) return;
                auto current = self->currentUserField();
                if ((current ? std::optional<std::string>(current->uid()) : std::nullopt) != uid) return;
                const double next =
                    retry ? std::min(delay * 2, kAutoRefreshMaxRetrySeconds) : kAutoRefreshFirstRetrySeconds;
                self->scheduleAutoTokenRefresh(next, true);
            },
            false);
    };
    if (authDispatcher_.dispatchAfterImplementation) {
        authDispatcher_.dispatchAfterImplementation(authGlobalWorkQueue(), delay, std::move(step));
        return;
    }
    authGlobalWorkQueue()->after(platform::durationFromSeconds<platform::Duration>(delay), std::move(step));
}

}  // namespace brisko::auth
