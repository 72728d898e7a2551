// One connection to the Wayland compositor, dispatched on a thread of its own: what the compositor
// offers, the activated toplevel (wlr foreign-toplevel management) and the time since the last input
// (ext-idle-notify, else KDE's idle protocol). Readers on any thread get a copy of the latest state and
// never wait for the compositor.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brisko::platform {

// The globals of the compositor that the desktop services use.
struct WaylandOffers {
    bool connected = false;         // a compositor answered and its globals were read
    bool foreignToplevels = false;  // zwlr_foreign_toplevel_manager_v1
    bool extIdle = false;           // ext_idle_notifier_v1
    bool kdeIdle = false;           // org_kde_kwin_idle
    bool seat = false;              // wl_seat (the idle protocols need one)
    bool operator==(const WaylandOffers&) const = default;
};

// The activated toplevel as the compositor last described it.
struct WaylandToplevel {
    std::uint64_t serial = 0;  // distinct for each toplevel of the connection
    std::string appID;         // empty when the client set none
    std::string title;         // valid UTF-8 (ill-formed bytes replaced); empty when none
    bool operator==(const WaylandToplevel&) const = default;
};

class WaylandConnection {
public:
    struct Options {
        // The display to connect to (a name in $XDG_RUNTIME_DIR or an absolute socket path); empty:
        // $WAYLAND_DISPLAY, else "wayland-0".
        std::string display;
        // The idle notification's timeout: the idle seconds are right to within this.
        std::chrono::milliseconds idleTimeout{1000};
        // After the compositor went away (or none answered), the next attempt comes this much later.
        std::chrono::milliseconds reconnectInterval{3000};
    };

    // Starts the dispatch thread, which connects at once; the returned object never blocks a caller.
    static std::shared_ptr<WaylandConnection> start(Options options);
    // A connection that the services share, started on first use with the default options.
    static std::shared_ptr<WaylandConnection> shared();

    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // Waits until the first attempt to connect has finished (the globals read and the toplevels the
    // compositor already had described), or failed; false when that took longer than `timeout`.
    bool waitUntilSettled(std::chrono::milliseconds timeout) const;
    // Waits until `predicate(activeToplevel())` holds, for tests and benchmarks; false on timeout.
    template <class Predicate> bool waitForActive(Predicate predicate, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!predicate(activeToplevel())) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            waitForChange(std::chrono::milliseconds(20));
        }
        return true;
    }

    WaylandOffers offers() const;
    // The toplevel the compositor marks activated; none when none is (or no compositor answers).
    std::optional<WaylandToplevel> activeToplevel() const;
    // Seconds since the last input event, right to within the idle timeout; none without a compositor
    // offering an idle protocol and a seat.
    std::optional<double> secondsSinceLastInput() const;

    struct Impl;

private:
    explicit WaylandConnection(std::shared_ptr<Impl> impl);
    void waitForChange(std::chrono::milliseconds timeout) const;
    std::shared_ptr<Impl> impl_;
};

}  // namespace brisko::platform
