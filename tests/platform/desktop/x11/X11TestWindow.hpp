// Top-level windows made by the tests on the test display, with chosen class, titles and process id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace brisko::test {

class X11TestWindow {
public:
    struct Properties {
        std::optional<std::pair<std::string, std::string>> wmClass;  // instance, class
        std::optional<std::string> netWmName;                        // raw bytes, type UTF8_STRING
        std::optional<std::string> wmName;                           // raw bytes of type wmNameType
        std::string wmNameType = "STRING";
        std::optional<std::uint32_t> pid;  // _NET_WM_PID
    };

    // Creates and maps the window and waits until the window manager shows it.
    explicit X11TestWindow(const Properties& properties);
    ~X11TestWindow();
    X11TestWindow(const X11TestWindow&) = delete;
    X11TestWindow& operator=(const X11TestWindow&) = delete;

    std::uint32_t id() const { return id_; }
    // Makes it the active window with xdotool and waits until the window manager says so.
    void activate() const;
    void destroy();

    // The COMPOUND_TEXT form of a UTF-8 text, as Xlib's Xt clients (xterm) write it.
    static std::string compoundText(const std::string& utf8);
    // The active window as the root says it.
    static std::optional<std::uint32_t> activeWindow();

private:
    std::uint32_t id_ = 0;
};

}  // namespace brisko::test
