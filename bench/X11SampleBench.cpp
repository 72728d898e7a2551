// Measures one activity sample on X11 as the recorder takes it every 30 s: the frontmost application,
// its focused window's title and the idle time. Run it on a display (scripts/with-xvfb.sh does).
// Usage: x11_sample_bench [ITERATIONS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/desktop/X11Accessibility.hpp"
#include "platform/desktop/X11Connection.hpp"
#include "platform/desktop/X11IdleTime.hpp"
#include "platform/desktop/X11Workspace.hpp"

using namespace brisko::platform;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    auto connection = X11Connection::open();
    if (!connection) {
        std::printf(
            "x11_sample_bench: no X display answers (DISPLAY=%s); run it through scripts/with-xvfb.sh\n",
            std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 0;
    }
    X11Workspace workspace({.connection = connection});
    X11Accessibility accessibility(connection);
    X11IdleTime idle(connection);

    int withApp = 0, withTitle = 0;
    auto sample = [&] {
        auto app = workspace.frontmostApplication();
        if (app) {
            ++withApp;
            if (accessibility.focusedWindowTitle(app->processIdentifier)) ++withTitle;
        }
        (void)idle.secondsSinceLastInput();
    };
    for (int i = 0; i < 50; ++i) sample();  // warm-up: atoms, the desktop-entry index
    withApp = withTitle = 0;

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        auto start = Clock::now();
        sample();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    double total = 0;
    for (double m : micros) total += m;
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf("x11_sample_bench: %d samples (%d with a frontmost application, %d with a title)\n",
                iterations, withApp, withTitle);
    std::printf("  mean %.1f us   median %.1f us   p99 %.1f us   max %.1f us\n", total / iterations, at(0.5),
                at(0.99), micros.back());
    return 0;
}
