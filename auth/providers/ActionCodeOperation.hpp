// What an e-mail action code is for, and the mode texts that name each operation.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace brisko::auth {

enum class ActionCodeOperation : int {
    unknown = 0,
    resetPassword = 1,
    verifyEmail = 2,
    recoverEmail = 3,
    signIn = 4,
    verifyAndChangeEmail = 5,
    revertSecondFactorAddition = 6,
};

inline constexpr std::array<std::pair<std::string_view, ActionCodeOperation>, 6> kActionCodeModes = {{
    {"resetPassword", ActionCodeOperation::resetPassword},
    {"verifyEmail", ActionCodeOperation::verifyEmail},
    {"recoverEmail", ActionCodeOperation::recoverEmail},
    {"signIn", ActionCodeOperation::signIn},
    {"verifyAndChangeEmail", ActionCodeOperation::verifyAndChangeEmail},
    {"revertSecondFactorAddition", ActionCodeOperation::revertSecondFactorAddition},
}};

// The request types with which the identity service names a code's operation in its replies.
inline constexpr std::array<std::pair<std::string_view, ActionCodeOperation>, 6> kActionCodeRequestTypes = {{
    {"PASSWORD_RESET", ActionCodeOperation::resetPassword},
    {"VERIFY_EMAIL", ActionCodeOperation::verifyEmail},
    {"RECOVER_EMAIL", ActionCodeOperation::recoverEmail},
    {"EMAIL_SIGNIN", ActionCodeOperation::signIn},
    {"VERIFY_AND_CHANGE_EMAIL", ActionCodeOperation::verifyAndChangeEmail},
    {"REVERT_SECOND_FACTOR_ADDITION", ActionCodeOperation::revertSecondFactorAddition},
}};

// The operation of a mode text (exact, case-sensitive); unknown for none or any other text.
constexpr ActionCodeOperation actionCodeOperation(std::optional<std::string_view> mode) {
    if (!mode) return ActionCodeOperation::unknown;
    for (const auto& [text, operation] : kActionCodeModes) {
        if (text == *mode) return operation;
    }
    return ActionCodeOperation::unknown;
}

// The operation of a raw value; only 0 to 6 name one.
constexpr std::optional<ActionCodeOperation> actionCodeOperation(int rawValue) {
    if (rawValue < 0 || rawValue > 6) return std::nullopt;
    return static_cast<ActionCodeOperation>(rawValue);
}

}  // namespace brisko::auth
