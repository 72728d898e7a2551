// Serialised account changes of one user.
#include "auth/UserProfileUpdate.hpp"

#include <map>
#include <mutex>

#include "auth/AuthDataResult.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/SetAccountInfoRequest.hpp"
#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/providers/AuthCredential.hpp"
#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/OAuthCredential.hpp"

namespace brisko::auth {

namespace {
constexpr std::string_view kMissingLinkTokensMessage =
    "Internal Auth Error: the link reply carried no ID token, refresh token or provider.";
constexpr std::string_view kMissingAccountMessage = "Internal Auth Error: the account-info reply carried no user.";

platform::Error internalError(std::string_view description) {
    return AuthErrorUtils::makeError(
        AuthErrorCode::internalError,
        platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(description)}});
}

// The user's token; a dead token signs the user out, a changed one is saved and announced.
platform::Task<std::string> tokenStep(std::shared_ptr<User> user) {
    co_return co_await user->internalGetToken(false, user->backend());
}

// One request with the automatic sign-out on its failure.
template <class Request>
platform::Task<typename Request::Response> callStep(std::shared_ptr<User> user, Request request) {
    std::optional<platform::Error> failure;
    try {
        co_return co_await user->backend()->call(request);
    } catch (...) {
        failure = currentError();
    }
    user->signOutIfTokenIsInvalid(*failure);
    throw platform::ErrorException(*failure);
}

void throwIfError(const platform::OptionalError& error) {
    if (error) throw platform::ErrorException(*error);
}
}  // namespace

platform::Task<bool> UserProfileUpdate::installReplyTokens(UserProfileUpdate* self, std::shared_ptr<User> user,
                                                           SetAccountInfoResponse response) {
    if (!response.idToken || !response.refreshToken) co_return false;
    auto service = SecureTokenService::make(user->requestConfiguration(), *response.idToken,
                                            response.approximateExpirationDate, *response.refreshToken);
    std::optional<platform::Error> failure;
    try {
        co_await self->setTokenService(user, std::move(service));
    } catch (...) {
        failure = currentError();
    }
    if (failure) {
        user->signOutIfTokenIsInvalid(*failure);
        throw platform::ErrorException(*failure);
    }
    co_return true;
}

// The places in line by number, the lowest holding the turn; a place waiting for its turn keeps the
// continuation that resumes it.
struct UserProfileUpdate::Turn::Line {
    std::mutex mutex;
    std::uint64_t next = 0;
    std::map<std::uint64_t, std::optional<platform::Continuation<void>>> places;
};

std::shared_ptr<UserProfileUpdate::Turn> UserProfileUpdate::takeTurn() {
    std::lock_guard lock(line_->mutex);
    const auto number = line_->next++;
    line_->places.emplace(number, std::nullopt);
    return std::shared_ptr<Turn>(new Turn(line_, number));
}

platform::Task<void> UserProfileUpdate::Turn::begin() {
    auto line = line_;
    const auto number = number_;
    co_await platform::withContinuation<void>([line, number](platform::Continuation<void> c) {
        std::unique_lock lock(line->mutex);
        if (line->places.begin()->first == number) {
            lock.unlock();
            c.resume();
            return;
        }
        line->places.at(number).emplace(std::move(c));
    });
}

UserProfileUpdate::Turn::~Turn() {
    std::optional<platform::Continuation<void>> next;
    {
        std::lock_guard lock(line_->mutex);
        const bool held = line_->places.begin()->first == number_;
        line_->places.erase(number_);
        if (held && !line_->places.empty()) next.swap(line_->places.begin()->second);
    }
    if (next) next->resume();
}

UserProfileUpdate::UserProfileUpdate()
    : actor_(std::string(kUserProfileUpdateQueueLabel)), line_(std::make_shared<Turn::Line>()) {}

platform::Task<std::shared_ptr<AuthDataResult>>
UserProfileUpdate::link(std::shared_ptr<User> user, std::shared_ptr<const AuthCredential> credential) {
    co_return co_await actor_.isolated([this, user, credential] {
        return [](UserProfileUpdate* self, std::shared_ptr<User> user,
                  std::shared_ptr<const AuthCredential> credential) -> platform::Task<std::shared_ptr<AuthDataResult>> {
            const auto token = co_await tokenStep(user);
            VerifyAssertionRequest request(credential->provider(), user->requestConfiguration());
            credential->prepare(request);
            request.accessToken = token;
            auto response = co_await callStep(user, std::move(request));
            if (!response.idToken || !response.refreshToken || !response.providerID) {
                throw platform::ErrorException(internalError(kMissingLinkTokensMessage));
            }
            std::optional<platform::Error> failure;
            try {
                co_await self->updateTokenAndRefresh(user, *response.idToken, *response.refreshToken,
                                                     response.approximateExpirationDate);
            } catch (...) {
                failure = currentError();
            }
            if (failure) {
                user->signOutIfTokenIsInvalid(*failure);
                throw platform::ErrorException(*failure);
            }
            auto info = std::make_shared<AdditionalUserInfo>(*response.providerID, response.profile, response.username,
                                                             response.isNewUser);
            co_return std::make_shared<AuthDataResult>(user, std::move(info),
                                                       OAuthCredential::initFromVerifyAssertionResponse(response));
        }(this, user, credential);
    });
}

platform::Task<std::shared_ptr<User>> UserProfileUpdate::unlink(std::shared_ptr<User> user, std::string provider) {
    co_return co_await actor_.isolated([this, user, provider] {
        return [](UserProfileUpdate* self, std::shared_ptr<User> user,
                  std::string provider) -> platform::Task<std::shared_ptr<User>> {
            const auto token = co_await tokenStep(user);
            SetAccountInfoRequest request(token, user->requestConfiguration());
            if (!user->providerDataContains(provider)) {
                throw platform::ErrorException(AuthErrorUtils::makeError(AuthErrorCode::noSuchProvider));
            }
            request.deleteProviders = std::vector<std::string>{provider};
            auto response = co_await callStep(user, std::move(request));
            user->removeProvider(provider);
            user->update(response, provider == kEmailProviderID);
            if (!co_await installReplyTokens(self, user, response)) throwIfError(user->updateKeychain());
            co_return user;
        }(this, user, provider);
    });
}

platform::Task<void> UserProfileUpdate::executeUserUpdateWithChanges(std::shared_ptr<User> user,
                                                                     ChangeBlock changeBlock) {
    co_await actor_.isolated([this, user, changeBlock] {
        return
            [](UserProfileUpdate* self, std::shared_ptr<User> user, ChangeBlock changeBlock) -> platform::Task<void> {
                const auto record = co_await self->getAccountInfoRefreshingCache(user);
                const auto token = co_await tokenStep(user);
                SetAccountInfoRequest request(token, user->requestConfiguration());
                changeBlock(record, request);
                auto response = co_await callStep(user, std::move(request));
                user->update(response, false);
                co_await installReplyTokens(self, user, response);
            }(this, user, changeBlock);
    });
}

platform::Task<void> UserProfileUpdate::updateTokenAndRefresh(std::shared_ptr<User> user, std::string idToken,
                                                              std::string refreshToken,
                                                              std::optional<platform::Date> expirationDate) {
    user->setTokenService(SecureTokenService::make(user->requestConfiguration(), std::move(idToken), expirationDate,
                                                   std::move(refreshToken)));
    const auto token = co_await tokenStep(user);
    auto response = co_await callStep(user, GetAccountInfoRequest(token, user->requestConfiguration()));
    user->setIsAnonymous(false);
    user->update(response);
    throwIfError(user->updateKeychain());
}

platform::Task<void> UserProfileUpdate::setTokenService(std::shared_ptr<User> user,
                                                        std::shared_ptr<SecureTokenService> tokenService) {
    co_await tokenService->fetchToken(false, user->backend());
    user->setTokenService(std::move(tokenService));
    throwIfError(user->updateKeychain());
}

platform::Task<GetAccountInfoResponse::User>
UserProfileUpdate::getAccountInfoRefreshingCache(std::shared_ptr<User> user) {
    const auto token = co_await tokenStep(user);
    auto response = co_await callStep(user, GetAccountInfoRequest(token, user->requestConfiguration()));
    user->update(response);
    if (auto error = user->updateKeychain()) {
        user->signOutIfTokenIsInvalid(*error);
        throw platform::ErrorException(*error);
    }
    if (!response.users || response.users->empty())
        throw platform::ErrorException(internalError(kMissingAccountMessage));
    co_return response.users->front();
}

}  // namespace brisko::auth
