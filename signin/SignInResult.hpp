// The result of an interactive Ezevar sign-in.
#pragma once

#include <memory>

#include "signin/EzevarUser.hpp"

namespace brisko::signin {

class SignInResult {
  public:
    explicit SignInResult(std::shared_ptr<EzevarUser> user) : user_(std::move(user)) {}
    std::shared_ptr<EzevarUser> user() const { return user_; }

  private:
    std::shared_ptr<EzevarUser> user_;
};

}  // namespace brisko::signin
