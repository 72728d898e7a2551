// Watches whether a host is reachable and tells one delegate, on the main queue, when that changes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/Reachability.hpp"

namespace brisko::core {

enum ReachabilityStatus : std::int32_t {
    kReachabilityUnknown = 0,
    kReachabilityNotReachable = 1,
    kReachabilityViaWifi = 2,  // any reachable network on this platform
    kReachabilityViaCellular = 3,
};

// "Reachability Unknown", "Not reachable", "Reachable via Wifi", "Reachable via Cellular Data", or
// "Invalid reachability status %d".
std::string ReachabilityStatusString(std::int32_t status);

class ReachabilityChecker;

class ReachabilityDelegate {
  public:
    virtual ~ReachabilityDelegate() = default;
    virtual void reachabilityStatusChanged(ReachabilityChecker& reachability, ReachabilityStatus status) = 0;
};

class ReachabilityChecker : public std::enable_shared_from_this<ReachabilityChecker> {
  public:
    // Null (logged) for a missing or empty host.
    static std::shared_ptr<ReachabilityChecker> initWithReachabilityDelegate(
        const std::shared_ptr<ReachabilityDelegate>& delegate, const std::optional<std::string>& host);
    ~ReachabilityChecker();

    // Starts watching; true when watching (also when already watching).
    bool start();
    // Stops watching and resets the status to unknown, without telling the delegate.
    void stop();
    bool isActive() const { return reachability_ != nullptr; }

    const platform::ReachabilityApi& reachabilityApi() const { return *reachabilityApi_; }
    // Refused (logged) while watching.
    void setReachabilityApi(const platform::ReachabilityApi& api);
    ReachabilityStatus reachabilityStatus() const { return reachabilityStatus_; }
    const std::string& host() const { return host_; }
    const std::shared_ptr<platform::ReachabilityHandle>& reachability() const { return reachability_; }
    std::shared_ptr<ReachabilityDelegate> reachabilityDelegate() const {
        return reachabilityDelegate_.lock();
    }
    void setReachabilityDelegate(const std::shared_ptr<ReachabilityDelegate>& delegate) {
        reachabilityDelegate_ = delegate;
    }

    static ReachabilityStatus statusForFlags(platform::ReachabilityFlags flags);
    // Called on the main queue with the platform's flags.
    void reachabilityFlagsChanged(platform::ReachabilityFlags flags);

    explicit ReachabilityChecker(std::string host);

  private:
    std::shared_ptr<const platform::ReachabilityApi> reachabilityApi_;
    ReachabilityStatus reachabilityStatus_ = kReachabilityUnknown;
    std::shared_ptr<platform::ReachabilityHandle> reachability_;
    std::string host_;
    std::weak_ptr<ReachabilityDelegate> reachabilityDelegate_;
};

}  // namespace brisko::core
