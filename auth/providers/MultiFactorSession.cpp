// Sessions for a user's enrolment.
#include "auth/providers/MultiFactorSession.hpp"

#include "auth/Auth.hpp"
#include "auth/SecureTokenService.hpp"
#include "auth/User.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kMissingUserMessage =
    "Internal Auth Error: missing user for multifactor auth (ZudiridiRozu/MultiFactorSession)";

}  // namespace

std::shared_ptr<MultiFactorSession> MultiFactorSession::session(std::shared_ptr<User> user) {
    if (!user) {
        if (auto auth = Auth::auth()) {
            user = Auth::authGlobalWorkQueue()->syncResult([&] { return auth->currentUser(); });
        }
        if (!user) platform::fatal(kMissingUserMessage);
    }
    auto idToken = user->tokenService()->accessToken();
    return std::make_shared<MultiFactorSession>(std::move(idToken), std::nullopt, nullptr, std::move(user));
}

}  // namespace brisko::auth
