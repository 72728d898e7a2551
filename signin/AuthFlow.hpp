// The state of one sign-in flow carried between its steps.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/AuthState.hpp"
#include "platform/base/Error.hpp"
#include "signin/CallbackQueue.hpp"
#include "signin/ProfileData.hpp"

namespace brisko::signin {

class AuthFlow : public CallbackQueue {
public:
    std::shared_ptr<oauth::AuthState> authState;
    platform::OptionalError error;
    std::optional<std::string> emmSupport;
    std::shared_ptr<ProfileData> profileData;
};

}  // namespace brisko::signin
