// The signed-in user. In this build nobody signs in, so a user never has a token to give.
#include "auth/User.hpp"

#include "auth/Auth.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::auth {

namespace {
platform::Error noTokenError() {
    return platform::Error(std::string(kAuthErrorDomain), kAuthErrorCodeOperationNotAllowed,
                           {{std::string(platform::kLocalizedDescriptionKey),
                             "The identity service is not available in this build."}});
}
}  // namespace

std::optional<std::string> User::email() const {
    return email_;
}

void User::getIDTokenWithCompletion(TokenCompletion completion) {
    platform::DispatchQueue::main()->async(
        [completion = std::move(completion)] { completion(std::nullopt, noTokenError()); });
}

platform::Task<std::string> User::getIDToken(bool) {
    throw platform::ErrorException(noTokenError());
    co_return std::string();
}

void User::getIDTokenResultForcingRefresh(bool, TokenResultCompletion completion) {
    platform::DispatchQueue::main()->async(
        [completion = std::move(completion)] { completion(std::nullopt, noTokenError()); });
}

}  // namespace brisko::auth
