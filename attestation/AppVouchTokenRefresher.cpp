// The refresh plan: about half-way through a token's life plus 300 s, never after expiry, never sooner
// than 60 s ahead; after failures 30 s doubling up to 960 s.
#include "attestation/AppVouchTokenRefresher.hpp"

#include <algorithm>
#include <cmath>

namespace brisko::attestation {

namespace {
constexpr double kRefreshMarginSeconds = 300;
constexpr double kMinimumRefreshDelaySeconds = 60;
constexpr double kRetryBaseSeconds = 30;
constexpr double kMaximumRetrySeconds = 960;

Date::duration seconds(double s) {
    return std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(s));
}
}  // namespace

// MARK: - Timer

std::shared_ptr<AppVouchTimer> AppVouchTimer::timerFireDate(Date fireDate, const Queue& queue, Block block,
                                                            const DateProvider& now) {
    if (!block) return nullptr;
    const auto remaining = fireDate - now();
    if (remaining <= Date::duration::zero()) return nullptr;
    auto timer = std::shared_ptr<AppVouchTimer>(new AppVouchTimer(queue));
    // Whole nanoseconds of the remaining time, as a dispatch timer counts them.
    auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining);
    std::weak_ptr<AppVouchTimer> weak = timer;
    promises::timerSource()->after(queue, delay, [weak, cancelled = timer->cancelled_, block = std::move(block)] {
        auto self = weak.lock();
        if (!self || cancelled->load()) return;
        self->invalidate();
        block();
    });
    return timer;
}

AppVouchTimer::Provider AppVouchTimer::timerProvider() {
    return [](Date fireDate, const Queue& queue, Block block) -> std::shared_ptr<AppVouchTimerProtocol> {
        return timerFireDate(fireDate, queue, std::move(block));
    };
}

// MARK: - Refresher

AppVouchTokenRefresher::AppVouchTokenRefresher(AppVouchTokenRefreshResult initialResult,
                                               AppVouchTimer::Provider timerProvider,
                                               std::shared_ptr<AppVouchSettingsProtocol> settings,
                                               DateProvider dateProvider, RandomSource randomSource)
    : refreshQueue_(platform::DispatchQueue::make(std::string(kTokenRefresherQueueLabel))),
      settings_(std::move(settings)), timerProvider_(std::move(timerProvider)), initialRefreshResult_(initialResult),
      dateProvider_(dateProvider ? std::move(dateProvider) : currentDateProvider()),
      randomSource_(randomSource ? std::move(randomSource) : secureRandomSource()) {}

AppVouchTokenRefresher::~AppVouchTokenRefresher() {
    cancelTimer();
}

AppVouchTokenRefresher::TokenRefreshHandler AppVouchTokenRefresher::tokenRefreshHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void AppVouchTokenRefresher::setTokenRefreshHandler(TokenRefreshHandler handler) {
    std::optional<AppVouchTokenRefreshResult> initial;
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        if (handler_ && initialRefreshResult_) {
            initial = initialRefreshResult_;
            initialRefreshResult_.reset();
        }
    }
    if (initial) scheduleWithTokenRefreshResult(*initial);
}

void AppVouchTokenRefresher::updateWithRefreshResult(const AppVouchTokenRefreshResult& result) {
    if (result.status == AppVouchTokenRefreshStatus::failure) {
        ++retryCount_;
    } else {
        retryCount_ = 0;
    }
    scheduleWithTokenRefreshResult(result);
}

void AppVouchTokenRefresher::scheduleWithTokenRefreshResult(const AppVouchTokenRefreshResult& result) {
    if (settings_ && settings_->isTokenAutoRefreshEnabled()) {
        scheduleRefreshAtDate(nextRefreshDateWithTokenRefreshResult(result));
    }
}

Date AppVouchTokenRefresher::nextRefreshDateWithTokenRefreshResult(const AppVouchTokenRefreshResult& result) const {
    const Date now = dateProvider_();
    switch (result.status) {
    case AppVouchTokenRefreshStatus::never:
        return now;
    case AppVouchTokenRefreshStatus::failure:
        return now + seconds(backoffTimeForRetryCount(retryCount_.load(), randomSource_));
    case AppVouchTokenRefreshStatus::success:
        break;
    }
    const Date received = result.tokenReceivedAtDate.value_or(now);
    const Date expiration = result.tokenExpirationDate.value_or(now);
    const double lifetime = std::max(0.0, std::chrono::duration<double>(expiration - received).count());
    const Date candidate = received + seconds(lifetime * 0.5 + kRefreshMarginSeconds);
    Date date = std::min(candidate, expiration);
    if (date - now < seconds(kMinimumRefreshDelaySeconds)) date = now + seconds(kMinimumRefreshDelaySeconds);
    return date;
}

double AppVouchTokenRefresher::backoffTimeForRetryCount(std::uint64_t retryCount, const RandomSource& random) {
    if (retryCount == 0) return 0;
    const double randomSeconds = static_cast<double>(random() % 1000) * 0.001;
    // Beyond 2^6 the cap holds anyway; the exponent is bounded so the power stays finite.
    const double exponent = static_cast<double>(std::min<std::uint64_t>(retryCount - 1, 62));
    return std::min(kRetryBaseSeconds * std::pow(2.0, exponent) + randomSeconds, kMaximumRetrySeconds);
}

void AppVouchTokenRefresher::scheduleRefreshAtDate(Date date) {
    cancelTimer();
    std::weak_ptr<AppVouchTokenRefresher> weak = weak_from_this();
    auto step = [weak] {
        if (auto self = weak.lock()) self->refresh();
    };
    if (date <= dateProvider_()) {
        refreshQueue_.async(step);
        return;
    }
    auto timer = timerProvider_ ? timerProvider_(date, refreshQueue_, step) : nullptr;
    std::lock_guard lock(timerMutex_);
    timer_ = std::move(timer);
}

void AppVouchTokenRefresher::cancelTimer() {
    std::shared_ptr<AppVouchTimerProtocol> timer;
    {
        std::lock_guard lock(timerMutex_);
        timer.swap(timer_);
    }
    if (timer) timer->invalidate();
}

void AppVouchTokenRefresher::refresh() {
    auto handler = tokenRefreshHandler();
    if (!handler || !settings_ || !settings_->isTokenAutoRefreshEnabled()) return;
    std::weak_ptr<AppVouchTokenRefresher> weak = weak_from_this();
    handler([weak](AppVouchTokenRefreshResult result) {
        if (auto self = weak.lock()) self->updateWithRefreshResult(result);
    });
}

}  // namespace brisko::attestation
