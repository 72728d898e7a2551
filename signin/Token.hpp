// A token of the signed-in Ezevar user.
#pragma once

#include <string>

namespace brisko::signin {

class Token {
  public:
    explicit Token(std::string tokenString) : tokenString_(std::move(tokenString)) {}
    const std::string& tokenString() const { return tokenString_; }

  private:
    std::string tokenString_;
};

}  // namespace brisko::signin
