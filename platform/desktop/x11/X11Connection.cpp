// The shared X connection: Xlib (for decoding legacy titles) over xcb (for every request).
#include "platform/desktop/x11/X11Connection.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {

// Titles longer than this are cut (64 KiB); the cut may split a character, which sanitising repairs.
constexpr std::uint32_t kMaxPropertyLongs = 16384;
constexpr auto kReconnectInterval = std::chrono::seconds(3);

template <class T> struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeDeleter<T>>;

std::string latin1ToUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Xlib would call exit() after an I/O error (the server went away); returning here instead leaves
// the display marked broken, and the shared connection is reopened later.
void ignoreIOErrorExit(Display*, void*) {}

}  // namespace

struct X11Connection::Impl {
    Display* display = nullptr;
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t netActiveWindow = 0, netWmPid = 0, netWmName = 0, utf8String = 0, netSupported = 0, compoundText = 0;
    bool hasScreenSaver = false;
    std::mutex mutex;

    ~Impl() {
        if (display) XCloseDisplay(display);
    }

    std::string propertyBytes(const xcb_get_property_reply_t* r) const {
        auto len = xcb_get_property_value_length(r);
        if (len <= 0) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(r)), static_cast<std::size_t>(len));
    }

    // WM_NAME in whatever encoding the client chose: STRING is Latin-1, UTF8_STRING is UTF-8, and
    // COMPOUND_TEXT (xterm and other Xt clients) goes through Xlib's converters.
    std::string decodeLegacyText(const xcb_get_property_reply_t* r) {
        std::string bytes = propertyBytes(r);
        if (bytes.empty() || r->format != 8) return {};
        if (r->type == XCB_ATOM_STRING) return latin1ToUTF8(bytes);
        if (r->type == utf8String) return bytes;
        XTextProperty prop{};
        prop.value = reinterpret_cast<unsigned char*>(bytes.data());
        prop.encoding = r->type;
        prop.format = 8;
        prop.nitems = bytes.size();
        char** list = nullptr;
        int count = 0;
        int rc = Xutf8TextPropertyToTextList(display, &prop, &list, &count);
        std::string out;
        // A positive result counts characters that had no UTF-8 form; the rest is still good.
        if (rc >= Success && list) {
            for (int i = 0; i < count; ++i) out += list[i];
        }
        if (list) XFreeStringList(list);
        return out;
    }

    bool usable() const { return c && !xcb_connection_has_error(c); }
};

std::shared_ptr<X11Connection> X11Connection::open(const char* displayName) {
    auto impl = std::make_unique<Impl>();
    impl->display = XOpenDisplay(displayName);
    if (!impl->display) return nullptr;
    XSetIOErrorExitHandler(impl->display, ignoreIOErrorExit, nullptr);
    impl->c = XGetXCBConnection(impl->display);
    if (!impl->usable()) return nullptr;
    impl->root = DefaultRootWindow(impl->display);

    const char* names[] = {"_NET_ACTIVE_WINDOW", "_NET_WM_PID",    "_NET_WM_NAME",
                           "UTF8_STRING",        "_NET_SUPPORTED", "COMPOUND_TEXT"};
    xcb_atom_t* targets[] = {&impl->netActiveWindow, &impl->netWmPid,     &impl->netWmName,
                             &impl->utf8String,      &impl->netSupported, &impl->compoundText};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (std::size_t i = 0; i < std::size(names); ++i) {
        cookies[i] = xcb_intern_atom(impl->c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    }
    for (std::size_t i = 0; i < std::size(names); ++i) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(impl->c, cookies[i], nullptr));
        if (!r) return nullptr;
        *targets[i] = r->atom;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(impl->c, &xcb_screensaver_id);
    impl->hasScreenSaver = ext && ext->present;
    return std::shared_ptr<X11Connection>(new X11Connection(std::move(impl)));
}

std::shared_ptr<X11Connection> X11Connection::shared() {
    static std::mutex mutex;
    static std::shared_ptr<X11Connection> connection;
    static std::optional<std::chrono::steady_clock::time_point> lastAttempt;
    static bool loggedMissing = false;
    std::lock_guard lock(mutex);
    if (connection && connection->isUsable()) return connection;
    auto now = std::chrono::steady_clock::now();
    if (lastAttempt && now - *lastAttempt < kReconnectInterval) return nullptr;
    lastAttempt = now;
    connection = open();
    if (!connection && !loggedMissing) {
        loggedMissing = true;
        log(LogLevel::warning, "platform",
            "[X11] no X display answers; the frontmost window and idle time are unknown");
    }
    if (connection) loggedMissing = false;
    return connection;
}

X11Connection::X11Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11Connection::~X11Connection() = default;

bool X11Connection::isUsable() const {
    return impl_->usable();
}

bool X11Connection::supportsActiveWindow() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->usable()) return false;
    auto cookie = xcb_get_property(impl_->c, 0, impl_->root, impl_->netSupported, XCB_ATOM_ATOM, 0, kMaxPropertyLongs);
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(impl_->c, cookie, nullptr));
    if (!r || r->format != 32 || r->type != XCB_ATOM_ATOM) return false;
    auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(r.get()));
    auto n = static_cast<std::size_t>(xcb_get_property_value_length(r.get())) / sizeof(xcb_atom_t);
    return std::find(atoms, atoms + n, impl_->netActiveWindow) != atoms + n;
}

std::optional<std::uint32_t> X11Connection::activeWindow() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->usable()) return std::nullopt;
    auto cookie = xcb_get_property(impl_->c, 0, impl_->root, impl_->netActiveWindow, XCB_ATOM_WINDOW, 0, 1);
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(impl_->c, cookie, nullptr));
    if (!r || r->format != 32 || r->type != XCB_ATOM_WINDOW || xcb_get_property_value_length(r.get()) < 4) {
        return std::nullopt;
    }
    xcb_window_t w = *static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
    if (w == XCB_NONE) return std::nullopt;
    return w;
}

std::optional<X11WindowInfo> X11Connection::windowInfo(std::uint32_t window, bool withTitle) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->usable()) return std::nullopt;
    auto* c = impl_->c;
    // Every request goes out before the first reply is read: one round trip for all of them.
    auto pidCookie = xcb_get_property(c, 0, window, impl_->netWmPid, XCB_ATOM_CARDINAL, 0, 1);
    auto classCookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256);
    xcb_get_property_cookie_t netNameCookie{}, nameCookie{};
    if (withTitle) {
        netNameCookie = xcb_get_property(c, 0, window, impl_->netWmName, impl_->utf8String, 0, kMaxPropertyLongs);
        nameCookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxPropertyLongs);
    }
    // Each reply is collected (and an error freed) even after a failure, so nothing is left queued.
    bool failed = false;
    auto fetch = [&](xcb_get_property_cookie_t cookie) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, cookie, &error));
        if (error) {
            failed = true;
            std::free(error);
        }
        if (!r) failed = true;
        return r;
    };
    auto pidReply = fetch(pidCookie);
    auto classReply = fetch(classCookie);
    Reply<xcb_get_property_reply_t> netNameReply, nameReply;
    if (withTitle) {
        netNameReply = fetch(netNameCookie);
        nameReply = fetch(nameCookie);
    }
    if (failed) return std::nullopt;

    X11WindowInfo info;
    info.window = window;
    if (pidReply->format == 32 && pidReply->type == XCB_ATOM_CARDINAL &&
        xcb_get_property_value_length(pidReply.get()) >= 4) {
        auto pid = *static_cast<const std::uint32_t*>(xcb_get_property_value(pidReply.get()));
        if (pid > 0) info.pid = pid;
    }
    if (classReply->format == 8) {
        std::string bytes = impl_->propertyBytes(classReply.get());
        auto nul = bytes.find('\0');
        std::string instance = bytes.substr(0, nul);
        std::string klass;
        if (nul != std::string::npos) {
            klass = bytes.substr(nul + 1);
            if (auto end = klass.find('\0'); end != std::string::npos) klass.resize(end);
        }
        if (!instance.empty()) info.instanceName = sanitizeUTF8(instance);
        if (!klass.empty()) info.className = sanitizeUTF8(klass);
    }
    if (withTitle) {
        std::string title;
        if (netNameReply->format == 8 && netNameReply->type == impl_->utf8String) {
            title = impl_->propertyBytes(netNameReply.get());
        }
        if (title.empty()) title = impl_->decodeLegacyText(nameReply.get());
        if (!title.empty()) info.title = sanitizeUTF8(title);
    }
    return info;
}

std::optional<double> X11Connection::millisecondsSinceUserInput() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->usable() || !impl_->hasScreenSaver) return std::nullopt;
    auto cookie = xcb_screensaver_query_info(impl_->c, impl_->root);
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_screensaver_query_info_reply_t> r(xcb_screensaver_query_info_reply(impl_->c, cookie, &error));
    std::free(error);
    if (!r) return std::nullopt;
    return static_cast<double>(r->ms_since_user_input);
}

}  // namespace brisko::platform
