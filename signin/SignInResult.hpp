// The result of a sign-in: the signed-in user and the server auth code, when Ezevar sent one.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace brisko::signin {

class EzevarUser;

class SignInResult {
public:
    SignInResult(std::shared_ptr<EzevarUser> user, std::optional<std::string> serverAuthCode)
        : user_(std::move(user)), serverAuthCode_(std::move(serverAuthCode)) {}
    const std::shared_ptr<EzevarUser>& user() const { return user_; }
    const std::optional<std::string>& serverAuthCode() const { return serverAuthCode_; }

private:
    std::shared_ptr<EzevarUser> user_;
    std::optional<std::string> serverAuthCode_;
};

}  // namespace brisko::signin
