// A user's second factors: sessions, enrolment, withdrawal and the archive.
#include "auth/providers/MultiFactor.hpp"

#include "auth/Auth.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/SecureTokenService.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "auth/providers/CompletionTask.hpp"
#include "auth/providers/PhoneMultiFactorAssertion.hpp"
#include "auth/providers/TOTPMultiFactorAssertion.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kSource = " (ZudiridiRozu/MultiFactor)";
constexpr std::string_view kMissingTOTPAssertionMessage =
    "Auth Internal Error: Failed to find TOTPMultiFactorAssertion";
constexpr std::string_view kMissingSecretMessage = "Missing secret in totpAssertion";
constexpr std::string_view kMissingCredentialMessage = "Internal Error: Missing credential";
constexpr std::string_view kMissingVerificationCodeMessage = "Internal Error: Missing verificationCode";
constexpr std::string_view kUnsupportedFactorMessage = "Internal Error: Unsupported assertion with factor ID: ";

// A call that can't be made as asked (the caller's programming error): stops with the message.
[[noreturn]] void refuse(std::string_view message) {
    platform::fatal(std::string(message) + std::string(kSource));
}

// The owning user has been released, or its identity client has: the operation can't act for it.
platform::Error userGoneError(std::string_view message) {
    return AuthErrorUtils::makeError(
        AuthErrorCode::nullUser,
        platform::Dictionary{{std::string(platform::kLocalizedFailureReasonErrorKey), platform::Value(message)}});
}

// The finalize request of an enrolment, built on the caller's thread; refuses a malformed assertion.
FinalizeMFAEnrollmentRequest enrollmentRequest(const MultiFactorAssertion& assertion,
                                               std::optional<std::string> displayName, const User& user) {
    auto idToken = user.tokenService()->accessToken();
    if (assertion.factorID() == kTOTPMultiFactorID) {
        const auto* totp = dynamic_cast<const TOTPMultiFactorAssertion*>(&assertion);
        if (!totp) refuse(kMissingTOTPAssertionMessage);
        const auto* secret = totp->secret();
        if (!secret) refuse(kMissingSecretMessage);
        return FinalizeMFAEnrollmentRequest(
            std::move(idToken), std::move(displayName),
            AuthProtoFinalizeMFATOTPEnrollmentRequestInfo{secret->sessionInfo(), totp->oneTimePassword()},
            user.requestConfiguration());
    }
    const auto* phone = dynamic_cast<const PhoneMultiFactorAssertion*>(&assertion);
    if (!phone || !phone->authCredential()) refuse(kMissingCredentialMessage);
    const auto* verification = phone->authCredential()->verification();
    if (!verification) refuse(kMissingVerificationCodeMessage);
    return FinalizeMFAEnrollmentRequest(
        std::move(idToken), std::move(displayName),
        AuthProtoFinalizeMFAPhoneRequestInfo{verification->verificationID, verification->verificationCode},
        user.requestConfiguration());
}

// Signs in with the reply's fresh tokens and makes the new user current (saved and announced).
template <class Response> platform::Task<void> signInAgain(std::shared_ptr<Auth> auth, const Response& response) {
    auto user = co_await User::makeFromTokens(auth, response.idToken, std::nullopt, response.refreshToken, false);
    auth->updateCurrentUser(std::move(user), false, true);
}

}  // namespace

MultiFactor::MultiFactor(const std::vector<AuthProtoMFAEnrollment>& enrollments) {
    for (const auto& record : enrollments) {
        if (auto info = MultiFactorInfo::fromEnrollment(record)) enrolledFactors_.push_back(std::move(info));
    }
}

MultiFactor::Factors MultiFactor::enrolledFactors() const {
    std::lock_guard lock(mutex_);
    return enrolledFactors_;
}

void MultiFactor::setEnrolledFactors(Factors factors) {
    std::lock_guard lock(mutex_);
    enrolledFactors_ = std::move(factors);
}

std::shared_ptr<User> MultiFactor::user() const {
    std::lock_guard lock(mutex_);
    return user_.lock();
}

void MultiFactor::setUser(const std::shared_ptr<User>& user) {
    std::lock_guard lock(mutex_);
    user_ = user;
}

void MultiFactor::getSessionWithCompletion(const SessionCallback& completion) {
    auto owner = user();
    if (!owner) {
        if (completion) completion(nullptr, userGoneError(kMultiFactorUserGoneEnrollingMessage));
        return;
    }
    auto session = MultiFactorSession::session(std::move(owner));
    if (completion) completion(std::move(session), std::nullopt);
}

platform::Task<std::shared_ptr<MultiFactorSession>> MultiFactor::session() {
    return awaitCompletion<std::shared_ptr<MultiFactorSession>>(
        [self = shared_from_this()](auto callback) { self->getSessionWithCompletion(std::move(callback)); });
}

void MultiFactor::enroll(const std::shared_ptr<const MultiFactorAssertion>& assertion,
                         std::optional<std::string> displayName, Callback completion) {
    const auto& factorID = assertion->factorID();
    if (factorID != kTOTPMultiFactorID && factorID != kPhoneMultiFactorID) {
        completeOnMain(
            completion,
            AuthErrorUtils::makeError(
                AuthErrorCode::internalError,
                platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey),
                                      platform::Value(std::string(kUnsupportedFactorMessage) + factorID + ".")}}));
        return;
    }
    auto owner = user();
    auto auth = owner ? owner->auth() : nullptr;
    if (!auth) {
        completeOnMain(completion, userGoneError(kMultiFactorUserGoneEnrollingMessage));
        return;
    }
    auto request = enrollmentRequest(*assertion, std::move(displayName), *owner);
    owner.reset();
    startTask(
        [](std::shared_ptr<Auth> auth, FinalizeMFAEnrollmentRequest request,
           Callback completion) -> platform::Task<void> {
            platform::OptionalError error;
            try {
                auto response = co_await auth->backend()->callFinalizeMFAEnrollment(std::move(request));
                co_await signInAgain(auth, response);
            } catch (...) {
                error = currentError();
            }
            completeOnMain(completion, std::move(error));
        }(std::move(auth), std::move(request), std::move(completion)),
        "enroll(with:displayName:)");
}

platform::Task<void> MultiFactor::enroll(std::shared_ptr<const MultiFactorAssertion> assertion,
                                         std::optional<std::string> displayName) {
    return awaitCompletion<void>([self = shared_from_this(), assertion = std::move(assertion),
                                  displayName = std::move(displayName)](auto callback) mutable {
        self->enroll(std::move(assertion), std::move(displayName), std::move(callback));
    });
}

void MultiFactor::unenroll(const std::shared_ptr<const MultiFactorInfo>& factorInfo, Callback completion) {
    unenroll(factorInfo->UID(), std::move(completion));
}

platform::Task<void> MultiFactor::unenroll(const std::shared_ptr<const MultiFactorInfo>& factorInfo) {
    return unenroll(factorInfo->UID());
}

void MultiFactor::unenroll(std::string factorUID, Callback completion) {
    auto owner = user();
    auto auth = owner ? owner->auth() : nullptr;
    if (!auth) {
        completeOnMain(completion, userGoneError(kMultiFactorUserGoneUnenrollingMessage));
        return;
    }
    WithdrawMFARequest request(owner->tokenService()->accessToken(), std::move(factorUID),
                               owner->requestConfiguration());
    owner.reset();
    startTask(
        [](std::shared_ptr<Auth> auth, WithdrawMFARequest request, Callback completion) -> platform::Task<void> {
            WithdrawMFAResponse response;
            try {
                response = co_await auth->backend()->callWithdrawMFA(std::move(request));
            } catch (...) {
                if (completion) completion(currentError());
                co_return;
            }
            platform::OptionalError error;
            try {
                co_await signInAgain(auth, response);
            } catch (...) {
                error = currentError();
            }
            if (!error) {
                completeOnMain(completion, std::nullopt);
                co_return;
            }
            // The factor is gone but the old tokens may no longer be accepted: sign out rather than
            // keep a user that can't be refreshed.
            mainAsync([auth, completion, error = std::move(error)] {
                try {
                    auth->signOut();
                } catch (...) {
                }
                if (completion) completion(error);
            });
        }(std::move(auth), std::move(request), std::move(completion)),
        "unenroll(withFactorUID:)");
}

platform::Task<void> MultiFactor::unenroll(std::string factorUID) {
    return awaitCompletion<void>([self = shared_from_this(), factorUID = std::move(factorUID)](auto callback) mutable {
        self->unenroll(std::move(factorUID), std::move(callback));
    });
}

void MultiFactor::encodeWithCoder(platform::KeyedArchiver& coder) const {
    platform::Array list;
    for (const auto& info : enrolledFactors()) list.push_back(MultiFactorInfo::archivedValue(info));
    coder.encodeObject(platform::Value(std::move(list)), kEnrolledFactorsCodingKey);
}

std::shared_ptr<MultiFactor> MultiFactor::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto multiFactor = std::make_shared<MultiFactor>();
    // Anything but a list is left alone rather than failing the archive it sits in (a user's).
    if (coder.classNameForKey(kEnrolledFactorsCodingKey) != platform::kArchiveClassArray) return multiFactor;
    const auto list = coder.decodeObjectOfClasses(MultiFactorInfo::archiveClassesOfList(), kEnrolledFactorsCodingKey);
    if (const auto* array = list.array()) {
        Factors factors;
        for (const auto& element : *array) {
            auto info = MultiFactorInfo::fromArchivedValue(element);
            if (!info) return multiFactor;  // not a list of infos: an empty list
            factors.push_back(std::move(info));
        }
        multiFactor->enrolledFactors_ = std::move(factors);
    }
    return multiFactor;
}

}  // namespace brisko::auth
