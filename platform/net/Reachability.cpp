// Reachability on Linux: route look-ups over rtnetlink, a watcher thread per scheduled handle woken by
// link, address and route events; and the stand-in used by tests.
#include "platform/net/Reachability.hpp"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/base/Text.hpp"

namespace brisko::platform {
namespace {

struct Probe {
    int family;
    std::array<unsigned char, 16> address{};
    int length;
};

// Documentation addresses (RFC 5737, RFC 3849): asking the kernel for a route to them tells whether a
// route to the wider network exists, without resolving a name or sending a packet.
constexpr std::string_view kWideNetworkProbeV4 = "192.0.2.1";
constexpr std::string_view kWideNetworkProbeV6 = "2001:db8::1";
constexpr std::string_view kLoopbackV4 = "127.0.0.1";
constexpr std::string_view kLoopbackV6 = "::1";

std::optional<Probe> parseAddress(std::string_view text) {
    std::string s(text);
    if (s.size() > 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
    Probe probe{};
    if (::inet_pton(AF_INET, s.c_str(), probe.address.data()) == 1) {
        probe.family = AF_INET;
        probe.length = 4;
        return probe;
    }
    if (::inet_pton(AF_INET6, s.c_str(), probe.address.data()) == 1) {
        probe.family = AF_INET6;
        probe.length = 16;
        return probe;
    }
    return std::nullopt;
}

std::vector<Probe> probesFor(std::string_view host) {
    if (auto literal = parseAddress(host)) return {*literal};
    const std::string lower = asciiLowercase(host);
    const bool loopback = lower == "localhost" || hasSuffix(lower, ".localhost");
    std::vector<Probe> probes;
    for (auto text : loopback ? std::array{kLoopbackV4, kLoopbackV6}
                              : std::array{kWideNetworkProbeV4, kWideNetworkProbeV6}) {
        if (auto p = parseAddress(text)) probes.push_back(*p);
    }
    return probes;
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }
    int get() const { return fd_; }
    // Gives up ownership without closing.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// Asks the kernel for the route to one address: reachable when it has a usable unicast or local route.
ReachabilityFlags routeFlags(const Probe& probe) {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return 0;
    timeval timeout{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    struct {
        nlmsghdr header;
        rtmsg route;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = static_cast<unsigned char>(probe.family);
    request.route.rtm_dst_len = static_cast<unsigned char>(probe.length * 8);
    auto* attribute =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(probe.length));
    std::memcpy(RTA_DATA(attribute), probe.address.data(), static_cast<std::size_t>(probe.length));
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) < 0) {
        return 0;
    }
    alignas(nlmsghdr) std::array<char, 8192> buffer{};
    const ssize_t received = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (received <= 0) return 0;
    auto length = static_cast<unsigned int>(received);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_type == NLMSG_ERROR) return 0;
        if (message->nlmsg_type != RTM_NEWROUTE) continue;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
        if (route->rtm_flags & RTNH_F_LINKDOWN) return 0;
        if (route->rtm_type == RTN_LOCAL) {
            return kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress | kReachabilityFlagIsDirect;
        }
        if (route->rtm_type != RTN_UNICAST) return 0;
        bool viaGateway = false;
        int attributesLength = static_cast<int>(RTM_PAYLOAD(message));
        for (auto* a = RTM_RTA(route); RTA_OK(a, attributesLength); a = RTA_NEXT(a, attributesLength)) {
            if (a->rta_type == RTA_GATEWAY || a->rta_type == RTA_VIA) viaGateway = true;
        }
        return kReachabilityFlagReachable | (viaGateway ? 0 : kReachabilityFlagIsDirect);
    }
    return 0;
}

class LinuxReachabilityHandle final : public ReachabilityHandle {
  public:
    explicit LinuxReachabilityHandle(std::string host) : host_(std::move(host)) {}
    ~LinuxReachabilityHandle() override { unschedule(); }

    void setCallback(ReachabilityCallback callback) {
        std::lock_guard lock(mutex_);
        callback_ = std::make_shared<ReachabilityCallback>(std::move(callback));
    }

    bool schedule(std::shared_ptr<DispatchQueue> queue) {
        std::lock_guard lock(mutex_);
        if (thread_.joinable() || !queue) return false;
        FileDescriptor events(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (events.get() < 0) return false;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups =
            RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(events.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return false;
        FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (wake.get() < 0) return false;
        eventSocket_.reset(events.release());
        wakeFd_.reset(wake.release());
        queue_ = std::move(queue);
        active_ = std::make_shared<std::atomic<bool>>(true);
        thread_ = std::thread([this, active = active_, eventFd = eventSocket_.get(), wakeFd = wakeFd_.get()] {
            watch(active, eventFd, wakeFd);
        });
        return true;
    }

    bool unschedule() {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            if (!thread_.joinable()) return false;
            active_->store(false);
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof(one));
            thread = std::move(thread_);
        }
        thread.join();
        std::lock_guard lock(mutex_);
        eventSocket_.reset();
        wakeFd_.reset();
        queue_.reset();
        return true;
    }

  private:
    void deliver(const std::shared_ptr<std::atomic<bool>>& active, ReachabilityFlags flags) {
        std::shared_ptr<ReachabilityCallback> callback;
        std::shared_ptr<DispatchQueue> queue;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            queue = queue_;
        }
        if (!callback || !queue) return;
        // Checked again where it runs, so no call arrives after unscheduling.
        queue->async([callback, active, flags] {
            if (active->load()) (*callback)(flags);
        });
    }

    void watch(const std::shared_ptr<std::atomic<bool>>& active, int eventFd, int wakeFd) {
        auto evaluate = [&] { return currentReachabilityFlags(host_); };
        ReachabilityFlags last = evaluate();
        deliver(active, last);
        std::array<pollfd, 2> fds{pollfd{eventFd, POLLIN, 0}, pollfd{wakeFd, POLLIN, 0}};
        while (active->load()) {
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            alignas(nlmsghdr) std::array<char, 16384> buffer{};
            while (::recv(eventFd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
            }
            const ReachabilityFlags flags = evaluate();
            if (flags != last) {
                last = flags;
                deliver(active, flags);
            }
        }
    }

    const std::string host_;
    std::mutex mutex_;
    std::shared_ptr<ReachabilityCallback> callback_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<std::atomic<bool>> active_;
    FileDescriptor eventSocket_;
    FileDescriptor wakeFd_;
    std::thread thread_;
};

std::shared_ptr<LinuxReachabilityHandle> asLinux(const std::shared_ptr<ReachabilityHandle>& handle) {
    return std::dynamic_pointer_cast<LinuxReachabilityHandle>(handle);
}

}  // namespace

ReachabilityFlags currentReachabilityFlags(std::string_view host) {
    ReachabilityFlags flags = 0;
    for (const auto& probe : probesFor(host)) flags |= routeFlags(probe);
    return flags;
}

const ReachabilityApi& systemReachabilityApi() {
    static const ReachabilityApi kApi{
        [](std::string_view host) -> std::shared_ptr<ReachabilityHandle> {
            if (host.empty()) return nullptr;
            return std::make_shared<LinuxReachabilityHandle>(std::string(host));
        },
        [](const std::shared_ptr<ReachabilityHandle>& handle, ReachabilityCallback callback) {
            auto linuxHandle = asLinux(handle);
            if (!linuxHandle) return false;
            linuxHandle->setCallback(std::move(callback));
            return true;
        },
        [](const std::shared_ptr<ReachabilityHandle>& handle, std::shared_ptr<DispatchQueue> queue) {
            auto linuxHandle = asLinux(handle);
            return linuxHandle && linuxHandle->schedule(std::move(queue));
        },
        [](const std::shared_ptr<ReachabilityHandle>& handle, const std::shared_ptr<DispatchQueue>&) {
            auto linuxHandle = asLinux(handle);
            return linuxHandle && linuxHandle->unschedule();
        },
        [](const std::shared_ptr<ReachabilityHandle>& handle) {
            if (auto linuxHandle = asLinux(handle)) linuxHandle->unschedule();
        },
    };
    return kApi;
}

// MARK: stand-in

struct FakeReachability::Handle final : ReachabilityHandle {
    std::weak_ptr<FakeReachability> owner;
    ReachabilityCallback callback;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<std::atomic<bool>> active;
    bool released = false;

    void deliver(ReachabilityFlags flags) {
        if (!queue || !callback) return;
        queue->async([callback = callback, active = active, flags] {
            if (active->load()) callback(flags);
        });
    }
};

std::shared_ptr<FakeReachability> FakeReachability::make(ReachabilityFlags initial) {
    auto fake = std::shared_ptr<FakeReachability>(new FakeReachability);
    fake->flags_ = initial;
    return fake;
}

ReachabilityApi FakeReachability::api() {
    std::weak_ptr<FakeReachability> weak = weak_from_this();
    auto handleOf = [](const std::shared_ptr<ReachabilityHandle>& h) {
        return std::dynamic_pointer_cast<Handle>(h);
    };
    return ReachabilityApi{
        [weak](std::string_view host) -> std::shared_ptr<ReachabilityHandle> {
            auto self = weak.lock();
            if (!self || host.empty()) return nullptr;
            std::lock_guard lock(self->mutex_);
            if (self->failing_ == "create") return nullptr;
            auto handle = std::make_shared<Handle>();
            handle->owner = weak;
            self->handles_.push_back(handle);
            ++self->live_;
            return handle;
        },
        [weak, handleOf](const std::shared_ptr<ReachabilityHandle>& h, ReachabilityCallback callback) {
            auto self = weak.lock();
            auto handle = handleOf(h);
            if (!self || !handle) return false;
            std::lock_guard lock(self->mutex_);
            if (self->failing_ == "setCallback") return false;
            handle->callback = std::move(callback);
            return true;
        },
        [weak, handleOf](const std::shared_ptr<ReachabilityHandle>& h, std::shared_ptr<DispatchQueue> queue) {
            auto self = weak.lock();
            auto handle = handleOf(h);
            if (!self || !handle || !queue) return false;
            std::lock_guard lock(self->mutex_);
            if (self->failing_ == "schedule" || handle->queue) return false;
            handle->queue = std::move(queue);
            handle->active = std::make_shared<std::atomic<bool>>(true);
            handle->deliver(self->flags_);
            return true;
        },
        [weak, handleOf](const std::shared_ptr<ReachabilityHandle>& h,
                         const std::shared_ptr<DispatchQueue>&) {
            auto self = weak.lock();
            auto handle = handleOf(h);
            if (!self || !handle) return false;
            std::lock_guard lock(self->mutex_);
            if (!handle->queue) return false;
            handle->active->store(false);
            handle->queue.reset();
            return true;
        },
        [weak, handleOf](const std::shared_ptr<ReachabilityHandle>& h) {
            auto self = weak.lock();
            auto handle = handleOf(h);
            if (!self || !handle) return;
            std::lock_guard lock(self->mutex_);
            if (handle->released) return;
            handle->released = true;
            if (handle->active) handle->active->store(false);
            handle->queue.reset();
            --self->live_;
        },
    };
}

void FakeReachability::setFlags(ReachabilityFlags flags) {
    std::lock_guard lock(mutex_);
    if (flags == flags_) return;
    flags_ = flags;
    for (const auto& weak : handles_) {
        if (auto handle = weak.lock(); handle && handle->queue) handle->deliver(flags);
    }
}

ReachabilityFlags FakeReachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

int FakeReachability::liveHandles() const {
    std::lock_guard lock(mutex_);
    return live_;
}

int FakeReachability::scheduledHandles() const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& weak : handles_) {
        if (auto handle = weak.lock(); handle && handle->queue) ++count;
    }
    return count;
}

void FakeReachability::failOperation(std::string operation) {
    std::lock_guard lock(mutex_);
    failing_ = std::move(operation);
}

}  // namespace brisko::platform
