// Background renewal of the cached token: the one-shot timer, the refresh results and the refresher
// that plans the next refresh from the last outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "attestation/AppVouchBackoffWrapper.hpp"
#include "attestation/promises/Queue.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kTokenRefresherQueueLabel = "com.zudiridi.EAVAppVouchTokenRefresher";

class AppVouchSettingsProtocol {
public:
    virtual ~AppVouchSettingsProtocol() = default;
    virtual bool isTokenAutoRefreshEnabled() const = 0;
    virtual void setIsTokenAutoRefreshEnabled(bool enabled) = 0;
};

// Auto refresh off until the host turns it on.
class AppVouchSettings : public AppVouchSettingsProtocol {
public:
    bool isTokenAutoRefreshEnabled() const override { return enabled_.load(); }
    void setIsTokenAutoRefreshEnabled(bool enabled) override { enabled_.store(enabled); }

private:
    std::atomic<bool> enabled_{false};
};

enum class AppVouchTokenRefreshStatus : std::int64_t { never = 0, success = 1, failure = 2 };

struct AppVouchTokenRefreshResult {
    AppVouchTokenRefreshStatus status = AppVouchTokenRefreshStatus::never;
    std::optional<Date> tokenExpirationDate;
    std::optional<Date> tokenReceivedAtDate;

    static AppVouchTokenRefreshResult initWithStatusNever() { return {}; }
    static AppVouchTokenRefreshResult initWithStatusFailure() { return {AppVouchTokenRefreshStatus::failure, {}, {}}; }
    static AppVouchTokenRefreshResult initWithStatusSuccess(Date expirationDate, Date receivedAtDate) {
        return {AppVouchTokenRefreshStatus::success, expirationDate, receivedAtDate};
    }
};

class AppVouchTimerProtocol {
public:
    virtual ~AppVouchTimerProtocol() = default;
    virtual void invalidate() = 0;
};

// A one-shot timer firing at a date on a queue; releasing it cancels it.
class AppVouchTimer : public AppVouchTimerProtocol, public std::enable_shared_from_this<AppVouchTimer> {
public:
    using Block = std::function<void()>;
    using Provider = std::function<std::shared_ptr<AppVouchTimerProtocol>(Date fireDate, const Queue& queue, Block)>;

    // Nothing when there is no block or the fire date is not in the future.
    static std::shared_ptr<AppVouchTimer> timerFireDate(Date fireDate, const Queue& queue, Block block,
                                                        const DateProvider& now = currentDateProvider());
    static Provider timerProvider();

    void invalidate() override { cancelled_->store(true); }
    ~AppVouchTimer() override { invalidate(); }
    const Queue& dispatchQueue() const { return queue_; }

private:
    explicit AppVouchTimer(Queue queue) : queue_(std::move(queue)) {}
    Queue queue_;
    std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
};

class AppVouchTokenRefresher : public std::enable_shared_from_this<AppVouchTokenRefresher> {
public:
    using RefreshCompletion = std::function<void(AppVouchTokenRefreshResult)>;
    using TokenRefreshHandler = std::function<void(RefreshCompletion)>;

    AppVouchTokenRefresher(AppVouchTokenRefreshResult initialResult, AppVouchTimer::Provider timerProvider,
                           std::shared_ptr<AppVouchSettingsProtocol> settings,
                           DateProvider dateProvider = currentDateProvider(),
                           RandomSource randomSource = secureRandomSource());
    AppVouchTokenRefresher(AppVouchTokenRefreshResult initialResult, std::shared_ptr<AppVouchSettingsProtocol> settings)
        : AppVouchTokenRefresher(initialResult, AppVouchTimer::timerProvider(), std::move(settings)) {}
    ~AppVouchTokenRefresher();

    TokenRefreshHandler tokenRefreshHandler() const;
    // Stores the handler; the first handler set plans from the initial result.
    void setTokenRefreshHandler(TokenRefreshHandler handler);
    void updateWithRefreshResult(const AppVouchTokenRefreshResult& result);

    Date nextRefreshDateWithTokenRefreshResult(const AppVouchTokenRefreshResult& result) const;
    // 0 for no failure; else 30 s doubling per failure plus up to 0.999 s, at most 960 s.
    static double backoffTimeForRetryCount(std::uint64_t retryCount, const RandomSource& random);
    std::uint64_t retryCount() const { return retryCount_.load(); }
    const Queue& refreshQueue() const { return refreshQueue_; }

private:
    void refresh();
    void scheduleWithTokenRefreshResult(const AppVouchTokenRefreshResult& result);
    void scheduleRefreshAtDate(Date date);
    void cancelTimer();

    mutable std::mutex mutex_;
    TokenRefreshHandler handler_;
    Queue refreshQueue_;
    std::shared_ptr<AppVouchSettingsProtocol> settings_;
    AppVouchTimer::Provider timerProvider_;
    std::mutex timerMutex_;
    std::shared_ptr<AppVouchTimerProtocol> timer_;
    std::atomic<std::uint64_t> retryCount_{0};
    std::optional<AppVouchTokenRefreshResult> initialRefreshResult_;
    DateProvider dateProvider_;
    RandomSource randomSource_;
};

}  // namespace brisko::attestation
