// Completes a sign-in that needs a second factor: the enrolled factors to choose from and the
// finalization with one factor's assertion.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/providers/MultiFactorAssertion.hpp"
#include "auth/providers/MultiFactorInfo.hpp"
#include "auth/providers/MultiFactorSession.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

class Auth;
class AuthDataResult;
struct AuthProtoMFAEnrollment;

// Made with std::make_shared (the asynchronous form keeps the resolver alive while it waits).
class MultiFactorResolver : public std::enable_shared_from_this<MultiFactorResolver> {
  public:
    using Callback = std::function<void(std::shared_ptr<AuthDataResult>, platform::OptionalError)>;

    // The session holds only the pending credential.
    MultiFactorResolver(std::optional<std::string> mfaPendingCredential,
                        std::vector<std::shared_ptr<MultiFactorInfo>> hints, std::shared_ptr<Auth> auth);
    // The resolver of a second-factor challenge, with the phone and TOTP factors of the reply's records
    // as hints (records of another kind, or without an enrolment ID, are logged and skipped).
    static std::shared_ptr<MultiFactorResolver> make(std::optional<std::string> mfaPendingCredential,
                                                     const std::vector<AuthProtoMFAEnrollment>& enrollments,
                                                     std::shared_ptr<Auth> auth);

    const std::shared_ptr<MultiFactorSession>& session() const { return session_; }
    const std::vector<std::shared_ptr<MultiFactorInfo>>& hints() const { return hints_; }
    const std::shared_ptr<Auth>& auth() const { return auth_; }
    const std::optional<std::string>& mfaPendingCredential() const { return mfaPendingCredential_; }

    // Finalizes the sign-in with the assertion (a TOTP assertion for an enrolled factor, or a phone
    // assertion with a verification code), signs in with the fresh tokens and makes the user current.
    // The completion runs on the task's thread for the service's and the re-sign-in's errors and on the
    // main queue for the outcome of making the user current. A resolver may be used again.
    void resolveSignIn(const std::shared_ptr<const MultiFactorAssertion>& assertion, Callback completion);
    platform::Task<std::shared_ptr<AuthDataResult>>
    resolveSignIn(std::shared_ptr<const MultiFactorAssertion> assertion);

  private:
    std::shared_ptr<MultiFactorSession> session_;
    std::vector<std::shared_ptr<MultiFactorInfo>> hints_;
    std::shared_ptr<Auth> auth_;
    std::optional<std::string> mfaPendingCredential_;
};

}  // namespace brisko::auth
