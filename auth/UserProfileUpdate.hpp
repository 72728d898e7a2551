// The per-user serialising object on which account changes run one at a time between their awaits:
// links, unlinks, change sets, new tokens and profile refreshes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/backend/GetAccountInfoRequest.hpp"
#include "auth/backend/SetAccountInfoRequest.hpp"
#include "platform/base/Async.hpp"

namespace brisko::auth {

class AuthCredential;
class AuthDataResult;
class SecureTokenService;
class User;

inline constexpr std::string_view kUserProfileUpdateQueueLabel = "com.ezevar.zudiridi.auth.userProfileUpdate";

class UserProfileUpdate {
public:
    using ChangeBlock = std::function<void(const GetAccountInfoResponse::User&, SetAccountInfoRequest&)>;

    UserProfileUpdate();

    platform::Task<std::shared_ptr<AuthDataResult>> link(std::shared_ptr<User> user,
                                                         std::shared_ptr<const AuthCredential> credential);
    platform::Task<std::shared_ptr<User>> unlink(std::shared_ptr<User> user, std::string provider);
    platform::Task<void> executeUserUpdateWithChanges(std::shared_ptr<User> user, ChangeBlock changeBlock);
    platform::Task<void> updateTokenAndRefresh(std::shared_ptr<User> user, std::string idToken,
                                               std::string refreshToken, std::optional<platform::Date> expirationDate);
    platform::Task<void> setTokenService(std::shared_ptr<User> user, std::shared_ptr<SecureTokenService> tokenService);
    platform::Task<GetAccountInfoResponse::User> getAccountInfoRefreshingCache(std::shared_ptr<User> user);

private:
    // Installs the new tokens of an account-update reply, when it carries both; false when it does not.
    static platform::Task<bool> installReplyTokens(UserProfileUpdate* self, std::shared_ptr<User> user,
                                                   SetAccountInfoResponse response);
    platform::Actor actor_;
};

}  // namespace brisko::auth
