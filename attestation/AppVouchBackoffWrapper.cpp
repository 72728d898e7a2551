// Backoff bookkeeping: the last failure, its type and the pause it imposes.
#include "attestation/AppVouchBackoffWrapper.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::attestation {

DateProvider currentDateProvider() {
    return [] { return platform::now(); };
}

RandomSource secureRandomSource() {
    return [] {
        auto bytes = platform::crypto::randomBytes(sizeof(std::uint32_t));
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    };
}

AppVouchBackoffOperationFailure AppVouchBackoffOperationFailure::nextRetryFailureWithFailure(
    const std::optional<AppVouchBackoffOperationFailure>& previous, Date finishDate, Error error,
    AppVouchBackoffType backoffType) {
    return AppVouchBackoffOperationFailure{finishDate, std::move(error), backoffType,
                                           previous ? previous->retryCount + 1 : 0};
}

AppVouchBackoffWrapper::AppVouchBackoffWrapper(DateProvider dateProvider, RandomSource randomSource)
    : dateProvider_(dateProvider ? std::move(dateProvider) : currentDateProvider()),
      randomSource_(randomSource ? std::move(randomSource) : secureRandomSource()) {}

AppVouchBackoffWrapper::ErrorHandler AppVouchBackoffWrapper::defaultAppVouchProviderErrorHandler() {
    return [](const Error& error) {
        auto http = AppVouchHTTPError::from(error);
        if (!http || !http->HTTPResponse()) return AppVouchBackoffType::none;
        const int status = http->HTTPResponse()->statusCode();
        if (status == 400 || status == 404) return AppVouchBackoffType::oneDay;
        if (status >= 400) return AppVouchBackoffType::exponential;
        return AppVouchBackoffType::none;
    };
}

bool AppVouchBackoffWrapper::passedLocked(double seconds) const {
    if (!lastFailure_) return true;
    const double since = std::chrono::duration<double>(dateProvider_() - lastFailure_->finishDate).count();
    return since >= seconds;
}

bool AppVouchBackoffWrapper::hasTimeIntervalPassedSinceLastFailure(double seconds) const {
    std::lock_guard lock(mutex_);
    return passedLocked(seconds);
}

bool AppVouchBackoffWrapper::isNextOperationAllowed() const {
    std::lock_guard lock(mutex_);
    if (!lastFailure_) return true;
    switch (lastFailure_->backoffType) {
    case AppVouchBackoffType::oneDay:
        return passedLocked(kBackoffOneDaySeconds);
    case AppVouchBackoffType::exponential:
        return passedLocked(exponentialBackoffIntervalForFailure(*lastFailure_));
    default:
        return true;
    }
}

double
AppVouchBackoffWrapper::exponentialBackoffIntervalForFailure(const AppVouchBackoffOperationFailure& failure) const {
    const double u = static_cast<double>(randomSource_() % 1000) / 1000.0;
    const double interval = std::pow(2.0, static_cast<double>(failure.retryCount)) * (1.0 + 0.5 * u);
    return std::min(interval, kBackoffMaximumExponentialSeconds);
}

std::optional<AppVouchBackoffOperationFailure> AppVouchBackoffWrapper::lastFailure() const {
    std::lock_guard lock(mutex_);
    return lastFailure_;
}

Error AppVouchBackoffWrapper::retryDisallowedError() const {
    std::string underlying;
    {
        std::lock_guard lock(mutex_);
        if (lastFailure_) {
            const Error& e = lastFailure_->error;
            // Its own description when it has one, else its failure reason.
            auto reason = e.localizedFailureReason();
            const bool hasDescription = e.userInfoValue(platform::kLocalizedDescriptionKey) != nullptr;
            underlying = !hasDescription && reason ? *reason : e.localizedDescription();
        }
    }
    return AppVouchErrorUtil::errorWithFailureReason(platform::format(kTooManyAttemptsFormat, {underlying}));
}

void AppVouchBackoffWrapper::recordSuccess() {
    std::lock_guard lock(mutex_);
    lastFailure_.reset();
}

void AppVouchBackoffWrapper::recordFailure(const Error& error, AppVouchBackoffType type) {
    const Date finish = dateProvider_();
    std::lock_guard lock(mutex_);
    lastFailure_ = AppVouchBackoffOperationFailure::nextRetryFailureWithFailure(lastFailure_, finish, error, type);
}

}  // namespace brisko::attestation
