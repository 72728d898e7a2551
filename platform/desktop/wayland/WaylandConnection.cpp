// The Wayland connection's dispatch thread: it connects, reads the globals, follows the foreign
// toplevels and the idle notification, and reconnects after the compositor went away.
#include "platform/desktop/wayland/WaylandConnection.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include <wayland-client.h>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kForeignToplevelVersion = 3;
// zwlr_foreign_toplevel_handle_v1's state value for the activated toplevel.
constexpr std::uint32_t kStateActivated = 2;

}  // namespace

struct WaylandConnection::Impl {
    Options options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Guarded by mutex:
    bool settled = false;
    bool stopping = false;
    WaylandOffers offers;
    std::optional<WaylandToplevel> active;
    bool idleSource = false;                   // an idle notification is in place
    std::optional<Clock::time_point> idledAt;  // when the compositor said "idle"; none while active

    int wakeFd = -1;
    std::thread thread;
    bool loggedMissing = false;

    void update(auto&& change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    bool shouldStop() {
        std::lock_guard lock(mutex);
        return stopping;
    }
    // Sleeps for the interval, or less when asked to stop.
    void pause(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, interval, [this] { return stopping; });
    }
    void run();
};

namespace {

// One toplevel as the compositor describes it; its pending facts take effect at "done".
struct Toplevel {
    struct Session* session = nullptr;
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    std::uint64_t serial = 0;
    std::string appID, title;
    bool activated = false;
};

// Everything bound on one connection; lives on the dispatch thread.
struct Session {
    WaylandConnection::Impl* impl = nullptr;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    ext_idle_notifier_v1* extNotifier = nullptr;
    org_kde_kwin_idle* kdeIdle = nullptr;
    ext_idle_notification_v1* extNotification = nullptr;
    org_kde_kwin_idle_timeout* kdeTimeout = nullptr;
    std::list<Toplevel> toplevels;
    const Toplevel* activeToplevel = nullptr;
    std::uint64_t nextSerial = 1;
    WaylandOffers offers;
    bool syncDone = false;

    ~Session() {
        for (auto& t : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(t.handle);
        if (extNotification) ext_idle_notification_v1_destroy(extNotification);
        if (kdeTimeout) org_kde_kwin_idle_timeout_release(kdeTimeout);
        if (extNotifier) ext_idle_notifier_v1_destroy(extNotifier);
        if (kdeIdle) org_kde_kwin_idle_destroy(kdeIdle);
        if (manager) zwlr_foreign_toplevel_manager_v1_destroy(manager);
        if (seat) wl_seat_destroy(seat);
        if (registry) wl_registry_destroy(registry);
    }

    void publishActive() {
        std::optional<WaylandToplevel> value;
        if (activeToplevel)
            value = WaylandToplevel{activeToplevel->serial, activeToplevel->appID, activeToplevel->title};
        impl->update([&] { impl->active = std::move(value); });
    }
};

// --- toplevel handles ---------------------------------------------------------------------------

void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
    static_cast<Toplevel*>(data)->title = sanitizeUTF8(title ? title : "");
}
void onAppID(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appID) {
    static_cast<Toplevel*>(data)->appID = sanitizeUTF8(appID ? appID : "");
}
void onOutputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onOutputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* state) {
    auto* t = static_cast<Toplevel*>(data);
    t->activated = false;
    const auto* values = static_cast<const std::uint32_t*>(state->data);
    for (std::size_t i = 0; i < state->size / sizeof(std::uint32_t); ++i) {
        if (values[i] == kStateActivated) t->activated = true;
    }
}
void onDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* t = static_cast<Toplevel*>(data);
    Session* s = t->session;
    if (t->activated) {
        s->activeToplevel = t;
    } else if (s->activeToplevel == t) {
        s->activeToplevel = nullptr;  // focus went to no window (an empty workspace) or elsewhere
    } else {
        return;  // a change to a toplevel in the background
    }
    s->publishActive();
}
void onClosed(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* t = static_cast<Toplevel*>(data);
    Session* s = t->session;
    const bool wasActive = s->activeToplevel == t;
    if (wasActive) s->activeToplevel = nullptr;
    zwlr_foreign_toplevel_handle_v1_destroy(t->handle);
    s->toplevels.remove_if([t](const Toplevel& other) { return &other == t; });
    if (wasActive) s->publishActive();
}
void onParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}

constexpr zwlr_foreign_toplevel_handle_v1_listener kToplevelListener = {
    .title = onTitle,
    .app_id = onAppID,
    .output_enter = onOutputEnter,
    .output_leave = onOutputLeave,
    .state = onState,
    .done = onDone,
    .closed = onClosed,
    .parent = onParent,
};

void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
    auto* s = static_cast<Session*>(data);
    auto& t = s->toplevels.emplace_back();
    t.session = s;
    t.handle = handle;
    t.serial = s->nextSerial++;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kToplevelListener, &t);
}
void onManagerFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
    auto* s = static_cast<Session*>(data);
    zwlr_foreign_toplevel_manager_v1_destroy(s->manager);
    s->manager = nullptr;
}
constexpr zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {
    .toplevel = onToplevel,
    .finished = onManagerFinished,
};

// --- idle ---------------------------------------------------------------------------------------

void markIdle(Session* s) {
    s->impl->update([&] { s->impl->idledAt = Clock::now(); });
}
void markActive(Session* s) {
    s->impl->update([&] { s->impl->idledAt.reset(); });
}
void onExtIdled(void* data, ext_idle_notification_v1*) {
    markIdle(static_cast<Session*>(data));
}
void onExtResumed(void* data, ext_idle_notification_v1*) {
    markActive(static_cast<Session*>(data));
}
constexpr ext_idle_notification_v1_listener kExtIdleListener = {.idled = onExtIdled, .resumed = onExtResumed};
void onKdeIdle(void* data, org_kde_kwin_idle_timeout*) {
    markIdle(static_cast<Session*>(data));
}
void onKdeResumed(void* data, org_kde_kwin_idle_timeout*) {
    markActive(static_cast<Session*>(data));
}
constexpr org_kde_kwin_idle_timeout_listener kKdeIdleListener = {.idle = onKdeIdle, .resumed = onKdeResumed};

// --- registry -----------------------------------------------------------------------------------

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto* s = static_cast<Session*>(data);
    const std::string_view iface(interface);
    if (iface == zwlr_foreign_toplevel_manager_v1_interface.name && !s->manager) {
        s->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, kForeignToplevelVersion)));
        zwlr_foreign_toplevel_manager_v1_add_listener(s->manager, &kManagerListener, s);
        s->offers.foreignToplevels = true;
    } else if (iface == ext_idle_notifier_v1_interface.name && !s->extNotifier) {
        s->extNotifier =
            static_cast<ext_idle_notifier_v1*>(wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, 1));
        s->offers.extIdle = true;
    } else if (iface == org_kde_kwin_idle_interface.name && !s->kdeIdle) {
        s->kdeIdle = static_cast<org_kde_kwin_idle*>(wl_registry_bind(registry, name, &org_kde_kwin_idle_interface, 1));
        s->offers.kdeIdle = true;
    } else if (iface == wl_seat_interface.name && !s->seat) {
        // The first seat: a desktop session has one.
        s->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        s->offers.seat = true;
    }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {.global = onGlobal, .global_remove = onGlobalRemove};

void onSyncDone(void* data, wl_callback* callback, std::uint32_t) {
    static_cast<Session*>(data)->syncDone = true;
    wl_callback_destroy(callback);
}
constexpr wl_callback_listener kSyncListener = {.done = onSyncDone};

// Reads and dispatches events until `until()` holds, the connection breaks or the connection is asked
// to stop; the wake descriptor interrupts the wait. False when the connection broke or must stop.
template <class Until> bool dispatch(WaylandConnection::Impl& impl, wl_display* display, Until until) {
    const int fd = wl_display_get_fd(display);
    while (!until()) {
        if (impl.shouldStop()) return false;
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) return false;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {impl.wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            wl_display_cancel_read(display);
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[0].revents & POLLIN) {
            if (wl_display_read_events(display) < 0) return false;
        } else {
            wl_display_cancel_read(display);
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t n;
            [[maybe_unused]] auto r = ::read(impl.wakeFd, &n, sizeof n);
        }
        if (wl_display_dispatch_pending(display) < 0) return false;
    }
    return true;
}

// One round trip: every event the compositor sent before it has been dispatched.
bool roundtrip(WaylandConnection::Impl& impl, Session& s) {
    s.syncDone = false;
    wl_callback_add_listener(wl_display_sync(s.display), &kSyncListener, &s);
    return dispatch(impl, s.display, [&] { return s.syncDone; });
}

}  // namespace

void WaylandConnection::Impl::run() {
    while (!shouldStop()) {
        const char* name = options.display.empty() ? nullptr : options.display.c_str();
        wl_display* display = wl_display_connect(name);
        if (display) {
            loggedMissing = false;
            {
                Session s;
                s.impl = this;
                s.display = display;
                s.registry = wl_display_get_registry(display);
                wl_registry_add_listener(s.registry, &kRegistryListener, &s);
                // The first round trip reads the globals (and binds them); the second lets the
                // compositor describe the toplevels and the idle notification take effect.
                bool ok = roundtrip(*this, s);
                if (ok && s.seat) {
                    const auto timeout =
                        static_cast<std::uint32_t>(std::max<std::int64_t>(1, options.idleTimeout.count()));
                    if (s.extNotifier) {
                        s.extNotification = ext_idle_notifier_v1_get_idle_notification(s.extNotifier, timeout, s.seat);
                        ext_idle_notification_v1_add_listener(s.extNotification, &kExtIdleListener, &s);
                    } else if (s.kdeIdle) {
                        s.kdeTimeout = org_kde_kwin_idle_get_idle_timeout(s.kdeIdle, s.seat, timeout);
                        org_kde_kwin_idle_timeout_add_listener(s.kdeTimeout, &kKdeIdleListener, &s);
                    }
                }
                ok = ok && roundtrip(*this, s);
                if (ok) {
                    s.offers.connected = true;
                    update([&] {
                        offers = s.offers;
                        idleSource = s.extNotification || s.kdeTimeout;
                        idledAt.reset();
                        settled = true;
                    });
                    dispatch(*this, display, [] { return false; });
                }
                if (!shouldStop()) {
                    log(LogLevel::warning, "platform",
                        "[Wayland] the connection to the compositor ended; connecting again");
                }
                update([&] {
                    offers = WaylandOffers{};
                    active.reset();
                    idleSource = false;
                    idledAt.reset();
                    settled = true;
                });
            }
            wl_display_disconnect(display);
        } else {
            if (!loggedMissing) {
                loggedMissing = true;
                log(LogLevel::warning, "platform",
                    "[Wayland] no Wayland compositor answers; the frontmost window and idle time are unknown");
            }
            update([&] { settled = true; });
        }
        pause(options.reconnectInterval);
    }
}

std::shared_ptr<WaylandConnection> WaylandConnection::start(Options options) {
    auto impl = std::make_shared<Impl>();
    impl->options = std::move(options);
    impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->thread = std::thread([raw = impl.get()] { raw->run(); });
    return std::shared_ptr<WaylandConnection>(new WaylandConnection(std::move(impl)));
}

std::shared_ptr<WaylandConnection> WaylandConnection::shared() {
    static const std::shared_ptr<WaylandConnection> connection = start({});
    return connection;
}

WaylandConnection::WaylandConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

WaylandConnection::~WaylandConnection() {
    impl_->update([&] { impl_->stopping = true; });
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(impl_->wakeFd, &one, sizeof one);
    if (impl_->thread.joinable()) impl_->thread.join();
    ::close(impl_->wakeFd);
}

bool WaylandConnection::waitUntilSettled(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [this] { return impl_->settled; });
}

void WaylandConnection::waitForChange(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout);
}

WaylandOffers WaylandConnection::offers() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->offers;
}

std::optional<WaylandToplevel> WaylandConnection::activeToplevel() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->active;
}

std::optional<double> WaylandConnection::secondsSinceLastInput() const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->idleSource) return std::nullopt;
    // The compositor says "idle" once no input came for the timeout, and "resumed" at the next input:
    // while idle, the last input was one timeout before the "idle"; otherwise it was less than one
    // timeout ago.
    if (!impl_->idledAt) return 0.0;
    const auto since = Clock::now() - *impl_->idledAt + impl_->options.idleTimeout;
    return std::chrono::duration<double>(since).count();
}

}  // namespace brisko::platform
