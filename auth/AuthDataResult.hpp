// The result of a sign-in.
#pragma once

#include <memory>

namespace brisko::auth {

class User;

struct AuthDataResult {
    std::shared_ptr<User> user;
};

}  // namespace brisko::auth
