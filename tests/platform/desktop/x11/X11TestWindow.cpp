// Test windows over their own X connection.
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>

#include "tests/platform/desktop/DesktopTestSupport.hpp"

namespace brisko::test {

namespace {

Display* display() {
    static Display* d = [] {
        Display* dpy = XOpenDisplay(nullptr);
        if (!dpy) throw std::runtime_error("the tests need an X display (run them through scripts/with-xvfb.sh)");
        return dpy;
    }();
    return d;
}
xcb_connection_t* conn() {
    return XGetXCBConnection(display());
}

xcb_atom_t atom(const char* name) {
    auto cookie = xcb_intern_atom(conn(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    auto* r = xcb_intern_atom_reply(conn(), cookie, nullptr);
    xcb_atom_t a = r ? r->atom : XCB_NONE;
    std::free(r);
    return a;
}

void setProperty(xcb_window_t w, const char* name, xcb_atom_t type, std::uint8_t format, const void* data,
                 std::uint32_t count) {
    xcb_change_property(conn(), XCB_PROP_MODE_REPLACE, w, atom(name), type, format, count, data);
}

template <class Pred> bool poll(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

X11TestWindow::X11TestWindow(const Properties& p) {
    auto* c = conn();
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    id_ = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id_, screen->root, 10, 10, 200, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    if (p.wmClass) {
        std::string bytes = p.wmClass->first + '\0' + p.wmClass->second + '\0';
        setProperty(id_, "WM_CLASS", XCB_ATOM_STRING, 8, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }
    if (p.netWmName) {
        setProperty(id_, "_NET_WM_NAME", atom("UTF8_STRING"), 8, p.netWmName->data(),
                    static_cast<std::uint32_t>(p.netWmName->size()));
    }
    if (p.wmName) {
        setProperty(id_, "WM_NAME", atom(p.wmNameType.c_str()), 8, p.wmName->data(),
                    static_cast<std::uint32_t>(p.wmName->size()));
    }
    if (p.pid) setProperty(id_, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &*p.pid, 1);
    xcb_map_window(c, id_);
    xcb_flush(c);
    // The window manager reparents and maps it; until then it cannot be activated.
    bool viewable = poll([&] {
        auto* r = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, id_), nullptr);
        bool v = r && r->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(r);
        return v;
    });
    if (!viewable) throw std::runtime_error("test window never became viewable");
}

X11TestWindow::~X11TestWindow() {
    destroy();
}

void X11TestWindow::destroy() {
    if (!id_) return;
    xcb_destroy_window(conn(), id_);
    xcb_flush(conn());
    auto* r = xcb_get_input_focus_reply(conn(), xcb_get_input_focus(conn()), nullptr);  // a round trip
    std::free(r);
    id_ = 0;
}

void X11TestWindow::activate() const {
    std::string command = "timeout 5 xdotool windowactivate --sync " + std::to_string(id_) + " 2>/dev/null";
    for (int attempt = 0; attempt < 3; ++attempt) {
        run(command);
        if (poll([&] { return activeWindow() == id_; }, std::chrono::milliseconds(2000))) return;
    }
    throw std::runtime_error("test window could not be activated");
}

std::string X11TestWindow::compoundText(const std::string& utf8) {
    char* list[] = {const_cast<char*>(utf8.c_str())};
    XTextProperty prop{};
    if (Xutf8TextListToTextProperty(display(), list, 1, XCompoundTextStyle, &prop) < Success) {
        throw std::runtime_error("no compound text for this locale");
    }
    std::string out(reinterpret_cast<const char*>(prop.value), prop.nitems);
    XFree(prop.value);
    return out;
}

std::optional<std::uint32_t> X11TestWindow::activeWindow() {
    auto* c = conn();
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    auto* r = xcb_get_property_reply(
        c, xcb_get_property(c, 0, screen->root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 0, 1), nullptr);
    std::optional<std::uint32_t> w;
    if (r && xcb_get_property_value_length(r) >= 4) w = *static_cast<std::uint32_t*>(xcb_get_property_value(r));
    std::free(r);
    return w;
}

}  // namespace brisko::test
