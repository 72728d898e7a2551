// The backoff wrapper: after a failed backend exchange it refuses new attempts for a while (a day after
// 400 or 404, an exponential jittered pause after other HTTP failures, nothing after others).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "attestation/AppVouchErrors.hpp"
#include "attestation/promises/Promises.hpp"
#include "platform/base/Value.hpp"

namespace brisko::attestation {

using platform::Date;
using promises::Promise;
using promises::Queue;

inline constexpr std::string_view kTooManyAttemptsFormat = "Too many attempts. Underlying error: %@";
inline constexpr double kBackoffOneDaySeconds = 86400;
inline constexpr double kBackoffMaximumExponentialSeconds = 14400;

enum class AppVouchBackoffType : std::uint64_t { none = 0, oneDay = 1, exponential = 2 };

// The current date, and a uniform random 32-bit value: both injectable so tests control time and jitter.
using DateProvider = std::function<Date()>;
using RandomSource = std::function<std::uint32_t()>;
DateProvider currentDateProvider();
RandomSource secureRandomSource();

struct AppVouchBackoffOperationFailure {
    Date finishDate;
    Error error;
    AppVouchBackoffType backoffType;
    std::int64_t retryCount;

    static AppVouchBackoffOperationFailure
    nextRetryFailureWithFailure(const std::optional<AppVouchBackoffOperationFailure>& previous, Date finishDate,
                                Error error, AppVouchBackoffType backoffType);
};

class AppVouchBackoffWrapper : public std::enable_shared_from_this<AppVouchBackoffWrapper> {
public:
    using ErrorHandler = std::function<AppVouchBackoffType(const Error&)>;

    explicit AppVouchBackoffWrapper(DateProvider dateProvider = currentDateProvider(),
                                    RandomSource randomSource = secureRandomSource());

    // Runs the operation unless a recorded failure still blocks it; records its outcome.
    template <class T>
    Promise<T> applyBackoffToOperation(std::function<Promise<T>()> operation, ErrorHandler errorHandler) {
        if (!isNextOperationAllowed()) return Promise<T>::resolvedWith(retryDisallowedError());
        auto self = shared_from_this();
        return operation()
            .then(queue(),
                  [self](const T& value) {
                      self->recordSuccess();
                      return value;
                  })
            .recover(queue(), [self, errorHandler](const Error& error) -> promises::Resolution<T> {
                self->recordFailure(error, errorHandler ? errorHandler(error) : AppVouchBackoffType::none);
                return error;
            });
    }

    // 400 or 404 replies: one day; other HTTP statuses of 400 and more: exponential; the rest: none.
    static ErrorHandler defaultAppVouchProviderErrorHandler();

    bool isNextOperationAllowed() const;
    bool hasTimeIntervalPassedSinceLastFailure(double seconds) const;
    double exponentialBackoffIntervalForFailure(const AppVouchBackoffOperationFailure& failure) const;
    std::optional<AppVouchBackoffOperationFailure> lastFailure() const;
    static Queue queue() { return Queue::globalUtility(); }

private:
    bool passedLocked(double seconds) const;
    Error retryDisallowedError() const;
    void recordSuccess();
    void recordFailure(const Error& error, AppVouchBackoffType type);

    DateProvider dateProvider_;
    RandomSource randomSource_;
    mutable std::mutex mutex_;
    std::optional<AppVouchBackoffOperationFailure> lastFailure_;
};

}  // namespace brisko::attestation
