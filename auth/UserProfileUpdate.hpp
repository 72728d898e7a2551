// The per-user serialising object on which account changes run one at a time between their awaits:
// links, unlinks, change sets, new tokens and profile refreshes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "auth/AuthTasks.hpp"
#include "auth/backend/AuthGlobalWorkQueue.hpp"
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

    // A place in the line of the user's public updates (profile changes, e-mail and password changes,
    // links, unlinks, reloads and re-authentications). They start and run one at a time, in the order
    // their places were taken, which is the order of the calls: two changes made one after the other
    // reach the service in that order and the later one wins. A place is given up when its object goes,
    // also when its update never started.
    class Turn {
    public:
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // Waits until every place taken before this one has been given up.
        platform::Task<void> begin();

    private:
        friend class UserProfileUpdate;
        struct Line;
        Turn(std::shared_ptr<Line> line, std::uint64_t number) : line_(std::move(line)), number_(number) {}
        std::shared_ptr<Line> line_;
        std::uint64_t number_;
    };
    std::shared_ptr<Turn> takeTurn();

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
    std::shared_ptr<Turn::Line> line_;
};

// Starts a callback-style update of a user when its turn comes: `start` runs on the identity client's
// work queue and is handed a callback that calls `callback` and then gives the turn up. An update that
// drops its callback without calling it gives the turn up too, so the line never stalls.
template <class... Args>
void runInTurn(std::shared_ptr<UserProfileUpdate::Turn> turn,
               std::type_identity_t<std::function<void(std::function<void(Args...)>)>> start,
               std::type_identity_t<std::function<void(Args...)>> callback, std::string what) {
    struct Release {
        explicit Release(platform::Continuation<void> d) : done(std::move(d)) {}
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;
        ~Release() { done.resume(); }
        platform::Continuation<void> done;
    };
    auto run = [](std::shared_ptr<UserProfileUpdate::Turn> turn,
                  std::function<void(std::function<void(Args...)>)> start,
                  std::function<void(Args...)> callback) -> platform::Task<void> {
        co_await turn->begin();
        co_await platform::withContinuation<void>([&start, &callback](platform::Continuation<void> done) {
            auto release = std::make_shared<Release>(std::move(done));
            authGlobalWorkQueue()->async([start = std::move(start), callback = std::move(callback), release] {
                start([callback, release](Args... args) {
                    if (callback) callback(std::move(args)...);
                    release->done.resume();
                });
            });
        });
    };
    startTask(run(std::move(turn), std::move(start), std::move(callback)), std::move(what));
}

}  // namespace brisko::auth
