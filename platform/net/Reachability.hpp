// Network reachability of a host: the five operations of the platform's reachability interface, as a
// replaceable table, with a Linux backend over rtnetlink and a controllable stand-in for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Dispatch.hpp"

namespace brisko::platform {

// Reachability flags, numbered as the platform numbers them.
using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagTransientConnection = 1u << 0;
inline constexpr ReachabilityFlags kReachabilityFlagReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityFlagInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags kReachabilityFlagIsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags kReachabilityFlagIsDirect = 1u << 17;

// One watched host. Backends derive from it.
class ReachabilityHandle {
  public:
    virtual ~ReachabilityHandle() = default;
};

using ReachabilityCallback = std::function<void(ReachabilityFlags flags)>;

// The five operations, in the platform's order: create a handle for a host name, set its callback,
// schedule it (its callback then runs on the given queue, first with the current flags, then on each
// change), unschedule it, release it.
struct ReachabilityApi {
    std::function<std::shared_ptr<ReachabilityHandle>(std::string_view host)> createWithName;
    std::function<bool(const std::shared_ptr<ReachabilityHandle>&, ReachabilityCallback)> setCallback;
    std::function<bool(const std::shared_ptr<ReachabilityHandle>&, std::shared_ptr<DispatchQueue>)>
        scheduleWithQueue;
    std::function<bool(const std::shared_ptr<ReachabilityHandle>&, std::shared_ptr<DispatchQueue>)>
        unscheduleFromQueue;
    std::function<void(const std::shared_ptr<ReachabilityHandle>&)> release;
};

// The Linux table. A host is reachable when the kernel has a usable route to it (a numeric address),
// to the loopback ("localhost"), or, for any other name, a route to the wider network (checked
// without sending anything and without resolving the name). Link, address and route changes are
// watched through an rtnetlink socket.
const ReachabilityApi& systemReachabilityApi();

// The flags the kernel's routing gives for a host now (what the Linux table reports).
ReachabilityFlags currentReachabilityFlags(std::string_view host);

// A stand-in whose flags a test sets; each scheduled handle is told of every change on its queue.
class FakeReachability : public std::enable_shared_from_this<FakeReachability> {
  public:
    static std::shared_ptr<FakeReachability> make(ReachabilityFlags initial = kReachabilityFlagReachable);

    // The table over this stand-in.
    ReachabilityApi api();
    void setFlags(ReachabilityFlags flags);
    ReachabilityFlags flags() const;
    // Handles created and not yet released.
    int liveHandles() const;
    // Handles scheduled now.
    int scheduledHandles() const;
    // Makes the named operation fail: "create", "setCallback" or "schedule".
    void failOperation(std::string operation);

  private:
    FakeReachability() = default;
    struct Handle;
    mutable std::mutex mutex_;
    ReachabilityFlags flags_ = 0;
    std::vector<std::weak_ptr<Handle>> handles_;
    int live_ = 0;
    std::string failing_;
};

}  // namespace brisko::platform
