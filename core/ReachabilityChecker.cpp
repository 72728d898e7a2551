// The reachability checker over the platform's five-operation table, scheduled on the main queue.
#include "core/ReachabilityChecker.hpp"

#include "core/UtilitiesLogger.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kReachabilityCategory = "[EULReachability]";
constexpr std::string_view kReachabilityCodeFormat = "I-REA%06ld";
constexpr long kApiChangeWhileRunningCode = 902000;
constexpr long kInvalidHostCode = 902001;
constexpr long kStartFailedCode = 902002;
constexpr long kMonitoringCode = 902003;
constexpr long kStatusChangedCode = 902004;
constexpr std::string_view kApiChangeWhileRunningMessage =
    "Cannot change reachability API while reachability is running. Call stop first.";
constexpr std::string_view kInvalidHostMessage = "Invalid host specified";
constexpr std::string_view kStartFailedMessage = "Failed to start reachability handle";
constexpr std::string_view kMonitoringMessage = "Monitoring the network status";
constexpr std::string_view kStatusChangedMessage = "Network status has changed. Code:%@, status:%@";

void logReachability(long level, long code, std::string_view message,
                     std::initializer_list<platform::FormatArg> args = {}) {
    UtilitiesLogger::logCoded(level, kReachabilityCategory, kReachabilityCodeFormat, code, message, args);
}

std::string_view connectionWord(ReachabilityStatus status) {
    switch (status) {
        case kReachabilityUnknown:
            return "Unknown";
        case kReachabilityNotReachable:
            return "Disconnected";
        default:
            return "Connected";
    }
}

}  // namespace

std::string ReachabilityStatusString(std::int32_t status) {
    switch (status) {
        case kReachabilityUnknown:
            return "Reachability Unknown";
        case kReachabilityNotReachable:
            return "Not reachable";
        case kReachabilityViaWifi:
            return "Reachable via Wifi";
        case kReachabilityViaCellular:
            return "Reachable via Cellular Data";
        default:
            return platform::format("Invalid reachability status %d", {status});
    }
}

std::shared_ptr<ReachabilityChecker> ReachabilityChecker::initWithReachabilityDelegate(
    const std::shared_ptr<ReachabilityDelegate>& delegate, const std::optional<std::string>& host) {
    if (!host || host->empty()) {
        logReachability(kLoggerLevelError, kInvalidHostCode, kInvalidHostMessage);
        return nullptr;
    }
    auto checker = std::make_shared<ReachabilityChecker>(*host);
    checker->setReachabilityDelegate(delegate);
    return checker;
}

ReachabilityChecker::ReachabilityChecker(std::string host)
    : reachabilityApi_(std::shared_ptr<const platform::ReachabilityApi>(
          &platform::systemReachabilityApi(), [](const platform::ReachabilityApi*) {})),
      host_(std::move(host)) {}

ReachabilityChecker::~ReachabilityChecker() {
    reachabilityDelegate_.reset();
    stop();
}

void ReachabilityChecker::setReachabilityApi(const platform::ReachabilityApi& api) {
    if (reachability_) {
        logReachability(kLoggerLevelError, kApiChangeWhileRunningCode, kApiChangeWhileRunningMessage);
        return;
    }
    reachabilityApi_ = std::make_shared<const platform::ReachabilityApi>(api);
}

bool ReachabilityChecker::start() {
    if (reachability_) {
        logReachability(kLoggerLevelDebug, kMonitoringCode, kMonitoringMessage);
        return true;
    }
    auto handle = reachabilityApi_->createWithName(host_);
    if (!handle) return false;
    // The callback holds the checker weakly: a checker that is gone is simply not told.
    std::weak_ptr<ReachabilityChecker> weak = weak_from_this();
    const bool ready = reachabilityApi_->setCallback(handle, [weak](platform::ReachabilityFlags flags) {
        if (auto self = weak.lock()) self->reachabilityFlagsChanged(flags);
    }) && reachabilityApi_->scheduleWithQueue(handle, platform::DispatchQueue::main());
    if (!ready) {
        reachabilityApi_->release(handle);
        logReachability(kLoggerLevelError, kStartFailedCode, kStartFailedMessage);
        return false;
    }
    reachability_ = std::move(handle);
    logReachability(kLoggerLevelDebug, kMonitoringCode, kMonitoringMessage);
    return true;
}

void ReachabilityChecker::stop() {
    if (!reachability_) return;
    reachabilityStatus_ = kReachabilityUnknown;
    reachabilityApi_->unscheduleFromQueue(reachability_, platform::DispatchQueue::main());
    reachabilityApi_->release(reachability_);
    reachability_.reset();
}

ReachabilityStatus ReachabilityChecker::statusForFlags(platform::ReachabilityFlags flags) {
    using namespace platform;
    if (!(flags & kReachabilityFlagReachable)) return kReachabilityNotReachable;
    if (!(flags & kReachabilityFlagConnectionRequired)) return kReachabilityViaWifi;
    const bool automatic =
        flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand);
    if (automatic && !(flags & kReachabilityFlagInterventionRequired)) return kReachabilityViaWifi;
    return kReachabilityNotReachable;
}

void ReachabilityChecker::reachabilityFlagsChanged(platform::ReachabilityFlags flags) {
    const ReachabilityStatus status = statusForFlags(flags);
    if (status == reachabilityStatus_) return;
    logReachability(kLoggerLevelDebug, kStatusChangedCode, kStatusChangedMessage,
                    {std::to_string(static_cast<int>(status)), connectionWord(status)});
    reachabilityStatus_ = status;
    if (auto delegate = reachabilityDelegate_.lock()) delegate->reachabilityStatusChanged(*this, status);
}

}  // namespace brisko::core
