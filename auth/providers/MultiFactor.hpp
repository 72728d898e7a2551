// A signed-in user's second factors: the enrolled list, and getting a session, enrolling and
// withdrawing.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/providers/MultiFactorAssertion.hpp"
#include "auth/providers/MultiFactorInfo.hpp"
#include "auth/providers/MultiFactorSession.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

struct AuthProtoMFAEnrollment;
class User;

inline constexpr std::string_view kMultiFactorUserGoneEnrollingMessage =
    "Internal Auth error: failed to get user enrolling in MultiFactor";
inline constexpr std::string_view kMultiFactorUserGoneUnenrollingMessage =
    "Internal Auth error: failed to get user unenrolling in MultiFactor";

// Made with std::make_shared (the asynchronous forms keep the object alive while they wait).
class MultiFactor : public std::enable_shared_from_this<MultiFactor> {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRMultiFactor";
    static constexpr std::string_view kEnrolledFactorsCodingKey = "enrolledFactors";

    using Factors = std::vector<std::shared_ptr<MultiFactorInfo>>;
    using SessionCallback = std::function<void(std::shared_ptr<MultiFactorSession>, platform::OptionalError)>;
    using Callback = std::function<void(platform::OptionalError)>;

    MultiFactor() = default;
    // The phone and TOTP factors of the records, in order; other records (and records without an
    // enrolment ID) are skipped.
    explicit MultiFactor(const std::vector<AuthProtoMFAEnrollment>& enrollments);

    Factors enrolledFactors() const;
    void setEnrolledFactors(Factors factors);
    // The owning user, held weakly; set by the user after creation and after decoding.
    std::shared_ptr<User> user() const;
    void setUser(const std::shared_ptr<User>& user);

    // A session for the owning user, before returning; when the user is gone, 17067 instead (never a
    // session for whoever else is signed in).
    void getSessionWithCompletion(const SessionCallback& completion);
    platform::Task<std::shared_ptr<MultiFactorSession>> session();

    // Finalizes an enrolment from the assertion, then signs in again with the fresh tokens and makes
    // that user current. The completion runs exactly once, on the main queue: with nothing, the
    // service's or the client's error, 17067 when the owning user or its client is gone, or 17999 for
    // an assertion whose factor ID is neither "phone" nor "totp" (nothing is sent then).
    void enroll(const std::shared_ptr<const MultiFactorAssertion>& assertion, std::optional<std::string> displayName,
                Callback completion);
    platform::Task<void> enroll(std::shared_ptr<const MultiFactorAssertion> assertion,
                                std::optional<std::string> displayName);

    // Withdraws an enrolled factor, then signs in again with the fresh tokens. A failed re-sign-in signs
    // the user out. The completion runs exactly once: on the task's thread for the service's error, on
    // the main queue otherwise; 17067 (on the main queue) when the owning user or its client is gone.
    void unenroll(const std::shared_ptr<const MultiFactorInfo>& factorInfo, Callback completion);
    platform::Task<void> unenroll(const std::shared_ptr<const MultiFactorInfo>& factorInfo);
    void unenroll(std::string factorUID, Callback completion);
    platform::Task<void> unenroll(std::string factorUID);

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: a missing or unreadable list is an empty one.
    static std::shared_ptr<MultiFactor> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    mutable std::mutex mutex_;
    Factors enrolledFactors_;
    std::weak_ptr<User> user_;
};

}  // namespace brisko::auth
