// The fetcher's retry decision, its exponential backoff and the retry timer.
#include <chrono>
#include <cstdlib>

#include "fetcher/HTTPDate.hpp"
#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/HeaderFields.hpp"
#include "platform/base/Clock.hpp"
#include "platform/net/URLError.hpp"

namespace brisko::fetcher {

using platform::Dictionary;
using platform::Error;

double randomMinRetryInterval();

namespace {
// However large a server's "Retry-After", a retry never waits less than this, so a server answering
// "0" again and again cannot make the fetcher spin.
constexpr double kMinimumRetryAfterWait = 1.0;
}  // namespace

bool SessionFetcher::isRetryEnabled() const {
    std::lock_guard lock(mutex_);
    return isRetryEnabled_;
}

void SessionFetcher::setRetryEnabled(bool value) {
    std::lock_guard lock(mutex_);
    if (value && !isRetryEnabled_) {
        minRetryInterval_ = randomMinRetryInterval();
        maxRetryInterval_ = -1;
        retryFactor_ = 2.0;
        lastRetryInterval_ = 0;
    }
    isRetryEnabled_ = value;
}

double SessionFetcher::maxRetryInterval() const {
    std::lock_guard lock(mutex_);
    return maxRetryInterval_;
}

void SessionFetcher::setMaxRetryInterval(double seconds) {
    std::lock_guard lock(mutex_);
    maxRetryInterval_ = seconds > 0 ? seconds : -1;
}

double SessionFetcher::minRetryInterval() const {
    std::lock_guard lock(mutex_);
    return minRetryInterval_;
}

void SessionFetcher::setMinRetryInterval(double seconds) {
    std::lock_guard lock(mutex_);
    minRetryInterval_ = seconds > 0 ? seconds : randomMinRetryInterval();
}

double SessionFetcher::retryFactor() const {
    std::lock_guard lock(mutex_);
    return retryFactor_;
}

void SessionFetcher::setRetryFactor(double factor) {
    std::lock_guard lock(mutex_);
    retryFactor_ = factor;
}

SessionFetcher::RetryBlock SessionFetcher::retryBlock() const {
    std::lock_guard lock(mutex_);
    return retryBlock_;
}

void SessionFetcher::setRetryBlock(RetryBlock block) {
    std::lock_guard lock(mutex_);
    retryBlock_ = std::move(block);
}

std::uint64_t SessionFetcher::retryCount() const {
    std::lock_guard lock(mutex_);
    return retryCount_;
}

double SessionFetcher::nextRetryInterval() const {
    std::lock_guard lock(mutex_);
    return nextRetryIntervalUnsynchronized();
}

std::shared_ptr<platform::Timer> SessionFetcher::retryTimer() const {
    std::lock_guard lock(mutex_);
    return retryTimer_;
}

bool SessionFetcher::hasRetryTimer() const {
    return retryTimer() != nullptr;
}

double SessionFetcher::lastRetryInterval() const {
    std::lock_guard lock(mutex_);
    return lastRetryInterval_;
}

bool SessionFetcher::isRetryError(const std::optional<Error>& error) {
    if (!error) return false;
    if (error->domain() == kSessionFetcherStatusDomain) {
        auto code = error->code();
        return code == 408 || code == 502 || code == 503 || code == 504;
    }
    if (error->domain() == platform::kURLErrorDomain) {
        auto code = error->code();
        return code == static_cast<int>(platform::URLErrorCode::timedOut) ||
               code == static_cast<int>(platform::URLErrorCode::networkConnectionLost);
    }
    return false;
}

bool SessionFetcher::hasRetryAfterInterval() const {
    std::lock_guard lock(mutex_);
    auto headers = responseHeadersUnsynchronized();
    return headers && headers->contains(internal::kRetryAfterField);
}

double SessionFetcher::retryAfterInterval() const {
    std::optional<std::string> value;
    {
        std::lock_guard lock(mutex_);
        auto headers = responseHeadersUnsynchronized();
        if (headers) value = headers->get(internal::kRetryAfterField);
    }
    if (!value) return 0;
    double seconds;
    if (auto date = parseHTTPDate(*value)) {
        seconds = std::chrono::duration<double>(*date - platform::now()).count();
    } else {
        seconds = static_cast<double>(std::strtoll(value->c_str(), nullptr, 10));
    }
    return seconds < 0 ? 0 : seconds;
}

double SessionFetcher::nextRetryIntervalUnsynchronized() const {
    auto headers = responseHeadersUnsynchronized();
    if (statusCodeUnsynchronized() == 503 && headers && headers->contains(internal::kRetryAfterField)) {
        // A server's requested delay, but never below a floor and never above the maximum (below).
        double requested = retryAfterInterval();
        return std::max(requested, kMinimumRetryAfterWait);
    }
    double interval = lastRetryInterval_ * retryFactor_;
    if (maxRetryInterval_ > 0) interval = std::min(interval, maxRetryInterval_);
    return std::max(interval, minRetryInterval_);
}

void SessionFetcher::shouldRetryNowForStatus(int status, std::optional<Error> error, bool forceAssumeRetry,
                                             std::function<void(bool)> response) {
    // 1. One token refresh after a 401, whatever the retry settings.
    bool refreshRetry = false;
    std::shared_ptr<FetcherAuthorizationProtocol> authorizer;
    bool attempted;
    {
        std::lock_guard lock(mutex_);
        authorizer = authorizer_;
        // A 401 from another origin (after a redirect) says nothing about the authorizer's token.
        attempted = hasAttemptedAuthRefresh_ || !isRequestForAuthorizedOriginUnsynchronized();
    }
    if (authorizer && status == 401 && !attempted) {
        if (auto primed = authorizer->primeForRefresh(); primed && *primed) {
            std::lock_guard lock(mutex_);
            hasAttemptedAuthRefresh_ = true;
            if (request_) request_->setValue(std::nullopt, internal::kAuthorizationField);
            refreshRetry = true;
        }
    }

    RetryBlock retryBlock;
    bool suggestion;
    bool answerNo;
    {
        std::lock_guard lock(mutex_);
        // 2. Retry-After no longer lifts the limits: the wait is capped by the maximum like any other,
        // and the total time since the first request stays bounded.
        bool mayRetry = false;
        if (isRetryEnabled_) {
            double next = nextRetryIntervalUnsynchronized();
            bool belowMax = maxRetryInterval_ <= 0 || next < maxRetryInterval_ ||
                            (statusCodeUnsynchronized() == 503 && responseHeadersUnsynchronized() &&
                             responseHeadersUnsynchronized()->contains(internal::kRetryAfterField));
            bool withinTotal = true;
            if (maxRetryInterval_ > 0 && initialRequestDate_) {
                double elapsed =
                    std::chrono::duration<double>(platform::now() - *initialRequestDate_).count();
                withinTotal = elapsed <= 3 * maxRetryInterval_;
            }
            mayRetry = belowMax && withinTotal;
        }
        // 3.
        answerNo = !refreshRetry && !forceAssumeRetry && !mayRetry;
    }
    if (answerNo) {
        response(false);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        // 4. The status error takes the place of a missing task error.
        Error statusError(
            std::string(kSessionFetcherStatusDomain), status,
            errorUserInfoForData(downloadedData_, responseHeadersUnsynchronized()).value_or(Dictionary{}));
        bool hadTaskError = error.has_value();
        if (!error) error = statusError;
        // 5.
        if (refreshRetry || forceAssumeRetry) {
            suggestion = true;
        } else {
            suggestion = isRetryError(error) || (hadTaskError && isRetryError(statusError));
        }
        retryBlock = retryBlock_;
    }
    // 6. The caller's block has the last word.
    if (retryBlock) {
        invokeOnCallbackQueueUnlessStopped([retryBlock, suggestion, error, response] {
            retryBlock(suggestion, error, [response](bool shouldRetry) { response(shouldRetry); });
        });
    } else {
        response(suggestion);
    }
}

void SessionFetcher::beginRetryTimer() {
    if (!platform::isMainThread()) {
        auto self = shared_from_this();
        auto group = callbackGroup_;
        group->enter();
        platform::DispatchQueue::main()->async([self, group] {
            self->beginRetryTimer();
            group->leave();
        });
        return;
    }
    destroyRetryTimer();
    {
        std::lock_guard lock(mutex_);
        double interval = nextRetryIntervalUnsynchronized();
        if (maxRetryInterval_ > 0) interval = std::min(interval, maxRetryInterval_);
        lastRetryInterval_ = interval;
        // The timer holds the fetcher while it waits, as the run loop holds a platform timer's target.
        auto self = shared_from_this();
        retryTimer_ = platform::Timer::scheduled(
            platform::DispatchQueue::main(),
            std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(interval)), false,
            [self] { self->retryTimerFired(); });
    }
    postNotification(kSessionFetcherRetryDelayStartedNotification);
}

void SessionFetcher::retryTimerFired() {
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        std::lock_guard lock(mutex_);
        if (!retryTimer_) return;
    }
    destroyRetryTimer();
    {
        std::lock_guard lock(mutex_);
        ++retryCount_;
        queue = delegateQueue_ ? delegateQueue_ : platform::DispatchQueue::main();
    }
    auto self = shared_from_this();
    queue->async([self] { self->retryFetch(); });
}

void SessionFetcher::destroyRetryTimer() {
    std::shared_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(mutex_);
        timer = std::move(retryTimer_);
        retryTimer_.reset();
    }
    if (timer) {
        timer->invalidate();
        postNotification(kSessionFetcherRetryDelayStoppedNotification);
    }
}

}  // namespace brisko::fetcher
