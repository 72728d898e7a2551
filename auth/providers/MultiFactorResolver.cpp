// Completing a second-factor sign-in.
#include "auth/providers/MultiFactorResolver.hpp"

#include "auth/Auth.hpp"
#include "auth/AuthDataResult.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/PhoneMultiFactorAssertion.hpp"
#include "auth/providers/TOTPMultiFactorAssertion.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kSource = " (ZudiridiRozu/MultiFactorResolver)";
constexpr std::string_view kMissingEnrollmentIDMessage = "Missing enrollmentID in totpAssertion";
constexpr std::string_view kMissingCredentialMessage = "Internal Error: Missing credential";
constexpr std::string_view kMissingVerificationCodeMessage = "Internal Error: Missing verificationCode";

[[noreturn]] void refuse(std::string_view message) {
    platform::fatal(std::string(message) + std::string(kSource));
}

// The proof for the finalize request, chosen by the assertion's class (its factor ID is not consulted).
MFASignInVerificationInfo verificationInfo(const MultiFactorAssertion& assertion) {
    if (const auto* totp = dynamic_cast<const TOTPMultiFactorAssertion*>(&assertion)) {
        const auto* enrollmentID = totp->enrollmentID();
        if (!enrollmentID) refuse(kMissingEnrollmentIDMessage);
        return AuthProtoFinalizeMFATOTPSignInRequestInfo{*enrollmentID, totp->oneTimePassword()};
    }
    const auto* phone = dynamic_cast<const PhoneMultiFactorAssertion*>(&assertion);
    if (!phone || !phone->authCredential()) refuse(kMissingCredentialMessage);
    const auto* verification = phone->authCredential()->verification();
    if (!verification) refuse(kMissingVerificationCodeMessage);
    return AuthProtoFinalizeMFAPhoneRequestInfo{verification->verificationID, verification->verificationCode};
}

}  // namespace

MultiFactorResolver::MultiFactorResolver(std::optional<std::string> mfaPendingCredential,
                                         std::vector<std::shared_ptr<MultiFactorInfo>> hints,
                                         std::shared_ptr<Auth> auth)
    : session_(std::make_shared<MultiFactorSession>(std::nullopt, mfaPendingCredential, nullptr, nullptr)),
      hints_(std::move(hints)), auth_(std::move(auth)), mfaPendingCredential_(std::move(mfaPendingCredential)) {}

std::shared_ptr<MultiFactorResolver> MultiFactorResolver::make(std::optional<std::string> mfaPendingCredential,
                                                               const std::vector<AuthProtoMFAEnrollment>& enrollments,
                                                               std::shared_ptr<Auth> auth) {
    std::vector<std::shared_ptr<MultiFactorInfo>> hints;
    for (const auto& record : enrollments) {
        if (auto info = MultiFactorInfo::fromEnrollment(record)) hints.push_back(std::move(info));
    }
    return std::make_shared<MultiFactorResolver>(std::move(mfaPendingCredential), std::move(hints), std::move(auth));
}

void MultiFactorResolver::resolveSignIn(const std::shared_ptr<const MultiFactorAssertion>& assertion,
                                        Callback completion) {
    // The assertion is checked first: a malformed one is refused before anything else is touched.
    auto proof = verificationInfo(*assertion);
    FinalizeMFASignInRequest request(mfaPendingCredential_, std::move(proof), auth_->requestConfiguration());
    startTask(
        [](std::shared_ptr<Auth> auth, FinalizeMFASignInRequest request, Callback completion) -> platform::Task<void> {
            std::shared_ptr<User> user;
            try {
                auto response = co_await auth->backend()->callFinalizeMFASignIn(std::move(request));
                user =
                    co_await User::makeFromTokens(auth, response.idToken, std::nullopt, response.refreshToken, false);
            } catch (...) {
                if (completion) completion(nullptr, currentError());
                co_return;
            }
            auto result = std::make_shared<AuthDataResult>(user, nullptr, nullptr);
            platform::OptionalError error;
            try {
                auth->updateCurrentUser(std::move(user), false, true);
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, error ? nullptr : std::move(result), std::move(error));
        }(auth_, std::move(request), std::move(completion)),
        "resolveSignIn(with:)");
}

platform::Task<std::shared_ptr<AuthDataResult>>
MultiFactorResolver::resolveSignIn(std::shared_ptr<const MultiFactorAssertion> assertion) {
    return awaitCompletion<std::shared_ptr<AuthDataResult>>(
        [self = shared_from_this(), assertion = std::move(assertion)](auto callback) {
            self->resolveSignIn(assertion, std::move(callback));
        });
}

}  // namespace brisko::auth
