// What an out-of-band code is for and for which address, as the identity client's code check reports it.
#pragma once

#include <optional>
#include <string>

#include "auth/providers/ActionCodeOperation.hpp"

namespace brisko::auth {

class ActionCodeInfo {
public:
    // With a new address, `email` is the new address and `previousEmail` the given one; without one,
    // `email` is the given address.
    ActionCodeInfo(ActionCodeOperation operation, std::string email, std::optional<std::string> newEmail)
        : operation_(operation) {
        if (newEmail) {
            email_ = std::move(*newEmail);
            previousEmail_ = std::move(email);
        } else {
            email_ = std::move(email);
        }
    }

    ActionCodeOperation operation() const { return operation_; }
    const std::string& email() const { return email_; }
    const std::optional<std::string>& previousEmail() const { return previousEmail_; }

    // The operation named by a reset-password reply's request type: the service's name for it
    // ("VERIFY_EMAIL"), or a link's mode text ("verifyEmail"); unknown for anything else.
    static ActionCodeOperation actionCodeOperation(std::optional<std::string_view> requestType) {
        if (requestType) {
            for (const auto& [text, operation] : kActionCodeRequestTypes) {
                if (text == *requestType) return operation;
            }
        }
        return auth::actionCodeOperation(requestType);
    }

private:
    ActionCodeOperation operation_;
    std::string email_;
    std::optional<std::string> previousEmail_;
};

}  // namespace brisko::auth
