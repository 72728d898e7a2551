// The signed-in user of the identity client: its e-mail address and its ID tokens.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "auth/AuthTokenResult.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

class User {
  public:
    using TokenCompletion = std::function<void(std::optional<std::string>, platform::OptionalError)>;
    using TokenResultCompletion =
        std::function<void(std::optional<AuthTokenResult>, platform::OptionalError)>;

    // The account's unique id.
    std::string uid() const { return uid_; }
    // The account's e-mail address, none when it has none.
    std::optional<std::string> email() const;

    // The current ID token (renewed first when close to expiry); the completion runs on the main queue.
    void getIDTokenWithCompletion(TokenCompletion completion);
    // The ID token, renewed first when forced or close to expiry.
    platform::Task<std::string> getIDToken(bool forcingRefresh);
    // The ID token result; with true the token is renewed first. The completion runs on the main queue.
    void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenResultCompletion completion);

  private:
    std::string uid_;
    std::optional<std::string> email_;
};

}  // namespace brisko::auth
