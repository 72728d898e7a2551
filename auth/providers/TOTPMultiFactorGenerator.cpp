// Asking the identity service for a TOTP secret.
#include "auth/providers/TOTPMultiFactorGenerator.hpp"

#include "auth/Auth.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/providers/CompletionTask.hpp"

namespace brisko::auth {

namespace {

platform::Error internalError(std::string_view description) {
    return AuthErrorUtils::makeError(
        AuthErrorCode::internalError,
        platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey), platform::Value(description)}});
}

}  // namespace

void TOTPMultiFactorGenerator::generateSecret(const std::shared_ptr<MultiFactorSession>& session,
                                              SecretCallback completion) {
    auto auth = session && session->currentUser() ? session->currentUser()->auth() : nullptr;
    if (!auth) {
        completion(nullptr, internalError(kInvalidIDTokenMessage));
        return;
    }
    StartMFAEnrollmentRequest request(session->idToken(), AuthProtoStartMFATOTPEnrollmentRequestInfo{},
                                      auth->requestConfiguration());
    startTask(
        [](std::shared_ptr<Auth> auth, StartMFAEnrollmentRequest request,
           SecretCallback completion) -> platform::Task<void> {
            StartMFAEnrollmentResponse response;
            try {
                response = co_await auth->backend()->callStartMFAEnrollment(std::move(request));
            } catch (...) {
                completion(nullptr, currentError());
                co_return;
            }
            if (!response.totpSessionInfo) {
                completion(nullptr, internalError(kErrorGeneratingTOTPSecretMessage));
                co_return;
            }
            auto& info = *response.totpSessionInfo;
            completion(std::make_shared<TOTPSecret>(
                           TOTPSecret::Fields{std::move(info.sharedSecretKey), std::move(info.hashingAlgorithm),
                                              info.verificationCodeLength, info.periodSec, info.finalizeEnrollmentTime,
                                              std::move(info.sessionInfo)}),
                       std::nullopt);
        }(std::move(auth), std::move(request), std::move(completion)),
        "generateSecret(with:)");
}

platform::Task<std::shared_ptr<TOTPSecret>>
TOTPMultiFactorGenerator::generateSecret(std::shared_ptr<MultiFactorSession> session) {
    return awaitCompletion<std::shared_ptr<TOTPSecret>>(
        [session = std::move(session)](auto callback) { generateSecret(session, std::move(callback)); });
}

}  // namespace brisko::auth
