// The identity client's public operations: credential sign-in and the other sign-ins, the sign-in-method
// lookup, password reset and action codes, e-mail links, the emulator, the app language and token
// revocation.
#include "auth/ActionCodeSettingsValues.hpp"
#include "auth/Auth.hpp"
#include "auth/AuthLog.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/providers/ActionCodeInfo.hpp"
#include "auth/providers/ActionCodeSettings.hpp"
#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/AuthWebUtils.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/EmailAuthCredential.hpp"
#include "auth/providers/GameCenterAuthCredential.hpp"
#include "auth/providers/OAuthCredential.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/Locale.hpp"

namespace brisko::auth {

namespace {
using Result = std::shared_ptr<AuthDataResult>;

platform::Error describedError(AuthErrorCode code, std::string_view description) {
    return AuthErrorUtils::makeError(
        code, platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(description)}});
}

// A refusal of the client itself (a caller broke a rule): reported, never a stopped process.
platform::Error refusal(std::string_view description) {
    return describedError(AuthErrorCode::internalError, description);
}

// The query pairs of an e-mail link: its own query, else the query of the URL in its query.
AuthWebUtils::Query emailLinkQueryItems(std::string_view link) {
    auto pairs = AuthWebUtils::parseURLQuery(link);
    if (!pairs.empty()) return pairs;
    auto url = platform::URL::parse(link);
    if (!url || !url->query()) return {};
    return AuthWebUtils::parseURLQuery(*url->query());
}

// Sends a request whose reply is not read and completes on the main queue.
template <class Request>
void wrapAsyncRPCTask(std::shared_ptr<Auth> auth, Request request, Auth::Callback completion, const char* what) {
    startTask(
        [](std::shared_ptr<Auth> auth, Request request, Auth::Callback completion) -> platform::Task<void> {
            platform::OptionalError error;
            try {
                co_await auth->backend()->call(std::move(request));
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, std::move(error));
        }(std::move(auth), std::move(request), std::move(completion)),
        what);
}
}  // namespace

// --- The sign-in roads ---

platform::Task<Result> Auth::internalSignInAndRetrieveData(std::shared_ptr<const AuthCredential> credential,
                                                           bool isReauthentication) {
    auto self = shared_from_this();
    if (auto email = std::dynamic_pointer_cast<const EmailAuthCredential>(credential)) {
        if (const auto* link = email->link()) co_return co_await internalSignInAndRetrieveData(email->email(), *link);
        auto user = co_await internalSignInUser(email->email(), email->password() ? *email->password() : std::string());
        co_return std::make_shared<AuthDataResult>(
            user,
            std::make_shared<AdditionalUserInfo>(std::string(kEmailProviderID), std::nullopt, std::nullopt, false));
    }
    if (auto gameCenter = std::dynamic_pointer_cast<const GameCenterAuthCredential>(credential)) {
        co_return co_await signInAndRetrieveData(gameCenter);
    }
    VerifyAssertionRequest request(credential->provider(), requestConfiguration_);
    request.autoCreate = !isReauthentication;
    credential->prepare(request);
    auto response = co_await backend_->call(std::move(request));
    if (response.needConfirmation) {
        std::optional<platform::Value> updated;
        if (auto credential = OAuthCredential::initFromVerifyAssertionResponse(response)) {
            updated = platform::Value::object(std::move(credential));
        }
        throw platform::ErrorException(
            AuthErrorUtils::accountExistsWithDifferentCredentialError(response.email, updated));
    }
    if (!response.providerID || response.providerID->empty()) {
        throw platform::ErrorException(AuthErrorUtils::unexpectedResponseWithDictionary(std::nullopt));
    }
    auto user = co_await User::makeFromTokens(self, response.idToken, response.approximateExpirationDate,
                                              response.refreshToken, false);
    auto info = std::make_shared<AdditionalUserInfo>(*response.providerID, response.profile, response.username,
                                                     response.isNewUser);
    co_return std::make_shared<AuthDataResult>(user, std::move(info),
                                               OAuthCredential::initFromVerifyAssertionResponse(response));
}

platform::Task<Result> Auth::internalSignInAndRetrieveData(std::string email, std::string link) {
    auto self = shared_from_this();
    if (!isSignIn(link)) throw platform::ErrorException(refusal(kInvalidEmailLinkMessage));
    const auto pairs = emailLinkQueryItems(link);
    auto code = pairs.find("oobCode");
    if (code == pairs.end()) throw platform::ErrorException(refusal(kMissingOOBCodeInLinkMessage));
    auto response =
        co_await backend_->call(EmailLinkSignInRequest(std::move(email), code->second, requestConfiguration_));
    auto user = co_await User::makeFromTokens(self, response.idToken, response.approximateExpirationDate,
                                              response.refreshToken, false);
    co_return std::make_shared<AuthDataResult>(user, std::make_shared<AdditionalUserInfo>(std::string(kEmailProviderID),
                                                                                          std::nullopt, std::nullopt,
                                                                                          response.isNewUser));
}

platform::Task<Result> Auth::signInAndRetrieveData(std::shared_ptr<const GameCenterAuthCredential> credential) {
    auto self = shared_from_this();
    if (!credential->publicKeyURL() || !credential->signature() || !credential->salt()) {
        throw platform::ErrorException(refusal(kGameCenterCredentialMessage));
    }
    SignInWithGameCenterRequest request(*credential->publicKeyURL(), *credential->signature(), *credential->salt(),
                                        requestConfiguration_);
    request.playerID = credential->playerID();
    request.teamPlayerID = credential->teamPlayerID();
    request.gamePlayerID = credential->gamePlayerID();
    request.timestamp = credential->timestamp();
    request.displayName = credential->displayName();
    request.tenantID = requestConfiguration_->auth() ? tenantID() : std::nullopt;
    auto response = co_await backend_->call(std::move(request));
    auto user = co_await User::makeFromTokens(self, response.idToken, response.approximateExpirationDate,
                                              response.refreshToken, false);
    co_return std::make_shared<AuthDataResult>(
        user, std::make_shared<AdditionalUserInfo>(std::string(kGameCenterProviderID), std::nullopt, std::nullopt,
                                                   response.isNewUser));
}

platform::Task<std::shared_ptr<User>> Auth::internalSignInUser(std::string email, std::string password) {
    auto self = shared_from_this();
    VerifyPasswordRequest request(std::move(email), std::move(password), requestConfiguration_);
    if (request.password.empty())
        throw platform::ErrorException(AuthErrorUtils::makeError(AuthErrorCode::wrongPassword));
    auto response = co_await backend_->call(std::move(request));
    co_return co_await User::makeFromTokens(self, response.idToken, response.approximateExpirationDate,
                                            response.refreshToken, false);
}

std::function<void(Result, platform::OptionalError)>
Auth::signInFlowAuthDataResultCallback(AuthDataResultCallback completion) {
    auto self = shared_from_this();
    return [self, completion = std::move(completion)](Result result, platform::OptionalError error) {
        if (error) {
            completeOnMain(completion, Result(), std::move(error));
            return;
        }
        try {
            self->updateCurrentUser(result->user(), false, true);
        } catch (...) {
            completeOnMain(completion, Result(), platform::OptionalError(currentError()));
            return;
        }
        completeOnMain(completion, std::move(result), platform::OptionalError());
    };
}

void Auth::startSignIn(std::function<platform::Task<Result>(std::shared_ptr<Auth>)> road,
                       AuthDataResultCallback completion, std::string what) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, road = std::move(road), completion = std::move(completion), what]() mutable {
        auto callback = self->signInFlowAuthDataResultCallback(std::move(completion));
        startTask(
            [](std::shared_ptr<Auth> self, std::function<platform::Task<Result>(std::shared_ptr<Auth>)> road,
               std::function<void(Result, platform::OptionalError)> callback) -> platform::Task<void> {
                Result result;
                platform::OptionalError error;
                try {
                    result = co_await road(self);
                } catch (...) {
                    error = currentError();
                }
                callback(std::move(result), std::move(error));
            }(self, std::move(road), std::move(callback)),
            what);
    });
}

// --- Sign-in operations ---

void Auth::signIn(std::shared_ptr<const AuthCredential> credential, AuthDataResultCallback completion) {
    startSignIn(
        [credential](std::shared_ptr<Auth> auth) { return auth->internalSignInAndRetrieveData(credential, false); },
        std::move(completion), "signIn(with:)");
}

platform::Task<Result> Auth::signIn(std::shared_ptr<const AuthCredential> credential) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self, credential](auto done) { self->signIn(credential, AuthDataResultCallback(done)); });
}

void Auth::signIn(std::string email, std::string password, AuthDataResultCallback completion) {
    auto credential =
        std::make_shared<EmailAuthCredential>(std::move(email), EmailAuthCredential::Password{std::move(password)});
    startSignIn(
        [credential](std::shared_ptr<Auth> auth) { return auth->internalSignInAndRetrieveData(credential, false); },
        std::move(completion), "signIn(withEmail:password:)");
}

platform::Task<Result> Auth::signIn(std::string email, std::string password) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self, email, password](auto done) { self->signIn(email, password, AuthDataResultCallback(done)); });
}

void Auth::signInWithEmailLink(std::string email, std::string link, AuthDataResultCallback completion) {
    auto credential =
        std::make_shared<EmailAuthCredential>(std::move(email), EmailAuthCredential::Link{std::move(link)});
    startSignIn(
        [credential](std::shared_ptr<Auth> auth) { return auth->internalSignInAndRetrieveData(credential, false); },
        std::move(completion), "signIn(withEmail:link:)");
}

platform::Task<Result> Auth::signInWithEmailLink(std::string email, std::string link) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self, email, link](auto done) { self->signInWithEmailLink(email, link, AuthDataResultCallback(done)); });
}

void Auth::signInAnonymously(AuthDataResultCallback completion) {
    startSignIn(
        [](std::shared_ptr<Auth> auth) -> platform::Task<Result> {
            auto current = auth->currentUserField();
            if (current && current->isAnonymous()) co_return std::make_shared<AuthDataResult>(current);
            SignUpNewUserRequest request(auth->requestConfiguration_);
            auto response = co_await auth->backend_->call(std::move(request));
            auto user = co_await User::makeFromTokens(auth, response.idToken, response.approximateExpirationDate,
                                                      response.refreshToken, true);
            co_return std::make_shared<AuthDataResult>(
                user, std::make_shared<AdditionalUserInfo>("", std::nullopt, std::nullopt, true));
        },
        std::move(completion), "signInAnonymously()");
}

platform::Task<Result> Auth::signInAnonymously() {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self](auto done) { self->signInAnonymously(AuthDataResultCallback(done)); });
}

void Auth::signInAnonymouslyWithCompletionHandler(AuthDataResultCallback block) {
    startTask(
        [](std::shared_ptr<Auth> self, AuthDataResultCallback block) -> platform::Task<void> {
            Result result;
            platform::OptionalError error;
            try {
                result = co_await self->signInAnonymously();
            } catch (...) {
                error = currentError();
            }
            if (block) block(std::move(result), std::move(error));
        }(shared_from_this(), std::move(block)),
        "signInAnonymouslyWithCompletionHandler");
}

void Auth::signInWithCustomToken(std::string token, AuthDataResultCallback completion) {
    startSignIn(
        [token](std::shared_ptr<Auth> auth) -> platform::Task<Result> {
            auto response = co_await auth->backend_->call(VerifyCustomTokenRequest(token, auth->requestConfiguration_));
            auto user = co_await User::makeFromTokens(auth, response.idToken, response.approximateExpirationDate,
                                                      response.refreshToken, false);
            co_return std::make_shared<AuthDataResult>(
                user, std::make_shared<AdditionalUserInfo>("", std::nullopt, std::nullopt, response.isNewUser));
        },
        std::move(completion), "signIn(withCustomToken:)");
}

platform::Task<Result> Auth::signInWithCustomToken(std::string token) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self, token](auto done) { self->signInWithCustomToken(token, AuthDataResultCallback(done)); });
}

void Auth::createUser(std::string email, std::string password, AuthDataResultCallback completion) {
    if (password.empty()) {
        if (completion) completion(nullptr, AuthErrorUtils::weakPasswordError(std::string("Missing password")));
        return;
    }
    if (email.empty()) {
        if (completion) completion(nullptr, AuthErrorUtils::makeError(AuthErrorCode::missingEmail));
        return;
    }
    startSignIn(
        [email, password](std::shared_ptr<Auth> auth) -> platform::Task<Result> {
            SignUpNewUserRequest request(email, password, std::nullopt, std::nullopt, auth->requestConfiguration_);
            auto response = co_await auth->backend_->call(std::move(request));
            auto user = co_await User::makeFromTokens(auth, response.idToken, response.approximateExpirationDate,
                                                      response.refreshToken, false);
            co_return std::make_shared<AuthDataResult>(
                user,
                std::make_shared<AdditionalUserInfo>(std::string(kEmailProviderID), std::nullopt, std::nullopt, true));
        },
        std::move(completion), "createUser(withEmail:password:)");
}

platform::Task<Result> Auth::createUser(std::string email, std::string password) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<Result>(
        [self, email, password](auto done) { self->createUser(email, password, AuthDataResultCallback(done)); });
}

void Auth::fetchSignInMethods(
    std::string email,
    std::function<void(std::optional<std::vector<std::string>>, platform::OptionalError)> completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, email = std::move(email), completion = std::move(completion)]() mutable {
        startTask(
            [](std::shared_ptr<Auth> self, std::string email,
               std::function<void(std::optional<std::vector<std::string>>, platform::OptionalError)> completion)
                -> platform::Task<void> {
                std::optional<std::vector<std::string>> methods;
                platform::OptionalError error;
                try {
                    auto response = co_await self->backend_->call(CreateAuthURIRequest(
                        std::move(email), std::string(kSignInMethodsContinueURI), self->requestConfiguration_));
                    methods = response.signinMethods;
                } catch (...) {
                    error = currentError();
                }
                completeOnMain(completion, std::move(methods), std::move(error));
            }(self, std::move(email), std::move(completion)),
            "fetchSignInMethods(forEmail:)");
    });
}

platform::Task<std::vector<std::string>> Auth::fetchSignInMethods(std::string email) {
    auto self = shared_from_this();
    // A reply without a list gives an empty one.
    auto methods = co_await awaitCompletion<std::optional<std::vector<std::string>>>(
        [self, email](auto done) { self->fetchSignInMethods(email, done); });
    co_return methods.value_or(std::vector<std::string>{});
}

// --- Password reset, action codes and e-mail links ---

void Auth::confirmPasswordReset(std::string code, std::string newPassword, Callback completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, code = std::move(code), newPassword = std::move(newPassword),
                                  completion = std::move(completion)]() mutable {
        wrapAsyncRPCTask(self,
                         ResetPasswordRequest(std::move(code), std::move(newPassword), self->requestConfiguration_),
                         std::move(completion), "confirmPasswordReset");
    });
}

platform::Task<void> Auth::confirmPasswordReset(std::string code, std::string newPassword) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>(
        [self, code, newPassword](auto done) { self->confirmPasswordReset(code, newPassword, Callback(done)); });
}

void Auth::checkActionCode(std::string code,
                           std::function<void(std::shared_ptr<ActionCodeInfo>, platform::OptionalError)> completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, code = std::move(code), completion = std::move(completion)]() mutable {
        startTask(
            [](std::shared_ptr<Auth> self, std::string code,
               std::function<void(std::shared_ptr<ActionCodeInfo>, platform::OptionalError)> completion)
                -> platform::Task<void> {
                std::shared_ptr<ActionCodeInfo> info;
                platform::OptionalError error;
                try {
                    auto response = co_await self->backend_->call(
                        ResetPasswordRequest(std::move(code), std::nullopt, self->requestConfiguration_));
                    if (!response.email) throw platform::ErrorException(refusal(kMissingResetPasswordResponseMessage));
                    info = std::make_shared<ActionCodeInfo>(ActionCodeInfo::actionCodeOperation(response.requestType),
                                                            *response.email, response.verifiedEmail);
                } catch (...) {
                    error = currentError();
                }
                completeOnMain(completion, std::move(info), std::move(error));
            }(self, std::move(code), std::move(completion)),
            "checkActionCode");
    });
}

platform::Task<std::shared_ptr<ActionCodeInfo>> Auth::checkActionCode(std::string code) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<std::shared_ptr<ActionCodeInfo>>(
        [self, code](auto done) { self->checkActionCode(code, done); });
}

void Auth::verifyPasswordResetCode(
    std::string code, std::function<void(std::optional<std::string>, platform::OptionalError)> completion) {
    checkActionCode(std::move(code), [completion = std::move(completion)](std::shared_ptr<ActionCodeInfo> info,
                                                                          platform::OptionalError error) {
        if (!completion) return;
        completion(info ? std::optional<std::string>(info->email()) : std::nullopt, std::move(error));
    });
}

platform::Task<std::string> Auth::verifyPasswordResetCode(std::string code) {
    auto self = shared_from_this();
    co_return co_await awaitCompletion<std::string>([self, code](auto done) {
        self->verifyPasswordResetCode(code,
                                      [done](std::optional<std::string> email, platform::OptionalError error) mutable {
                                          done(email.value_or(""), std::move(error));
                                      });
    });
}

void Auth::applyActionCode(std::string code, Callback completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async([self, code = std::move(code), completion = std::move(completion)]() mutable {
        SetAccountInfoRequest request(std::nullopt, self->requestConfiguration_);
        request.oobCode = std::move(code);
        wrapAsyncRPCTask(self, std::move(request), std::move(completion), "applyActionCode");
    });
}

platform::Task<void> Auth::applyActionCode(std::string code) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self, code](auto done) { self->applyActionCode(code, Callback(done)); });
}

void Auth::sendPasswordReset(std::string email, Callback completion) {
    sendPasswordReset(std::move(email), nullptr, std::move(completion));
}

void Auth::sendPasswordReset(std::string email, std::shared_ptr<const ActionCodeSettings> settings,
                             Callback completion) {
    auto self = shared_from_this();
    authGlobalWorkQueue()->async(
        [self, email = std::move(email), settings, completion = std::move(completion)]() mutable {
            wrapAsyncRPCTask(self,
                             GetOOBConfirmationCodeRequest::forPasswordReset(
                                 std::move(email), actionCodeSettingsValues(settings), self->requestConfiguration_),
                             std::move(completion), "sendPasswordReset");
        });
}

platform::Task<void> Auth::sendPasswordReset(std::string email, std::shared_ptr<const ActionCodeSettings> settings) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>(
        [self, email, settings](auto done) { self->sendPasswordReset(email, settings, Callback(done)); });
}

void Auth::sendSignInLink(std::string email, std::shared_ptr<const ActionCodeSettings> settings, Callback completion) {
    if (!settings || !settings->handleCodeInApp()) {
        completeOnMain(completion, platform::OptionalError(refusal(kHandleCodeInAppMessage)));
        return;
    }
    auto self = shared_from_this();
    authGlobalWorkQueue()->async(
        [self, email = std::move(email), settings, completion = std::move(completion)]() mutable {
            wrapAsyncRPCTask(self,
                             GetOOBConfirmationCodeRequest::forEmailLinkSignIn(
                                 std::move(email), actionCodeSettingsValues(settings), self->requestConfiguration_),
                             std::move(completion), "sendSignInLink");
        });
}

platform::Task<void> Auth::sendSignInLink(std::string email, std::shared_ptr<const ActionCodeSettings> settings) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>(
        [self, email, settings](auto done) { self->sendSignInLink(email, settings, Callback(done)); });
}

bool Auth::isSignIn(std::string_view link) const {
    if (link.empty()) return false;
    const auto pairs = emailLinkQueryItems(link);
    auto mode = pairs.find("mode");
    return pairs.contains("oobCode") && mode != pairs.end() && mode->second == "signIn";
}

// --- Emulator, language and revocation ---

void Auth::useAppLanguage() {
    auto configuration = requestConfiguration_;
    authGlobalWorkQueue()->sync([configuration] {
        const auto languages = platform::Locale::preferredLanguages();
        configuration->setLanguageCode(languages.empty() ? std::nullopt
                                                         : std::optional<std::string>(languages.front()));
    });
}

bool Auth::useEmulator(std::string host, std::int64_t port) {
    // A refused address leaves the client as it was: an address that cannot be parsed would fail every
    // later request.
    if (host.empty() || host.front() == '[' || port < 0) {
        platform::log(platform::LogLevel::error, "auth",
                      host.empty()
                          ? kEmptyEmulatorHostMessage
                          : std::string_view("Cannot connect to an emulator at an address that cannot be parsed"));
        return false;
    }
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    auto configuration = requestConfiguration_;
    auto address = host + ":" + std::to_string(port);
    authGlobalWorkQueue()->sync([configuration, address] { configuration->setEmulatorHostAndPort(address); });
    return true;
}

void Auth::revokeToken(std::string authorizationCode, Callback completion) {
    auto user = currentUserField();
    if (!user) {
        // Nothing to revoke for: say so rather than never answering.
        completeOnMain(completion, platform::OptionalError(AuthErrorUtils::makeError(AuthErrorCode::nullUser)));
        return;
    }
    user->internalGetToken(
        false, backend_,
        [self = shared_from_this(), authorizationCode = std::move(authorizationCode),
         completion](std::optional<std::string> token, platform::OptionalError error) mutable {
            if (!token) {
                completeOnMain(completion, error ? std::move(error)
                                                 : platform::OptionalError(
                                                       refusal("Internal Auth Error: Both idToken and error are nil")));
                return;
            }
            wrapAsyncRPCTask(self,
                             RevokeTokenRequest(std::move(authorizationCode), *token, self->requestConfiguration_),
                             std::move(completion), "revokeToken");
        },
        false);
}

platform::Task<void> Auth::revokeToken(std::string authorizationCode) {
    auto self = shared_from_this();
    co_await awaitCompletion<void>(
        [self, authorizationCode](auto done) { self->revokeToken(authorizationCode, Callback(done)); });
}

}  // namespace brisko::auth
