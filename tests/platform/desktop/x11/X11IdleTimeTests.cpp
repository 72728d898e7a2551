// Idle time from the display server: it grows while nobody touches anything and restarts on input.
#include <doctest/doctest.h>

#include <thread>

#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/desktop/x11/X11IdleTime.hpp"
#include "platform/desktop/x11/X11Services.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;
using namespace std::chrono_literals;

TEST_CASE("idle seconds grow while nothing happens and restart after the pointer moves") {
    X11IdleTime idle;
    REQUIRE(run("xdotool mousemove 100 100") == 0);
    auto start = idle.secondsSinceLastInput();
    REQUIRE(start);
    CHECK(*start < 1.0);

    std::this_thread::sleep_for(1200ms);  // the one real wait: idle time is measured by the server
    auto later = idle.secondsSinceLastInput();
    REQUIRE(later);
    CHECK(*later >= *start + 1.0);

    REQUIRE(run("xdotool mousemove 300 200") == 0);
    auto after = idle.secondsSinceLastInput();
    REQUIRE(after);
    CHECK(*after < 0.5);
    CHECK(*after < *later);
}

TEST_CASE("the installed X11 services answer through the shared accessors") {
    installX11Services();
    auto seconds = idleSeconds();
    REQUIRE(seconds);
    CHECK(*seconds >= 0.0);
    CHECK(Accessibility::shared()->isProcessTrusted());
}
