// The signed-in Ezevar user: its ID token and access token.
#pragma once

#include <memory>

#include "signin/Token.hpp"

namespace brisko::signin {

class EzevarUser {
  public:
    EzevarUser(std::shared_ptr<Token> idToken, std::shared_ptr<Token> accessToken)
        : idToken_(std::move(idToken)), accessToken_(std::move(accessToken)) {}
    // None when the sign-in gave no ID token.
    std::shared_ptr<Token> idToken() const { return idToken_; }
    std::shared_ptr<Token> accessToken() const { return accessToken_; }

  private:
    std::shared_ptr<Token> idToken_;
    std::shared_ptr<Token> accessToken_;
};

}  // namespace brisko::signin
