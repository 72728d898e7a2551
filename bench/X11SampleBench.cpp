// Measures one activity sample on X11 as the recorder takes it every 30 s: the frontmost application,
// its focused window's title and the idle time, with a window of its own made frontmost (a named class,
// a non-ASCII title and its process id) so that every sample takes the whole path. Run it on a display
// with a window manager (scripts/with-xvfb.sh starts both).
// Usage: scripts/with-xvfb.sh x11_sample_bench [ITERATIONS]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <vector>

#include "bench/Figures.hpp"
#include "platform/desktop/x11/X11Accessibility.hpp"
#include "platform/desktop/x11/X11Connection.hpp"
#include "platform/desktop/x11/X11IdleTime.hpp"
#include "platform/desktop/x11/X11Workspace.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::platform;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    auto connection = X11Connection::open();
    if (!connection) {
        std::printf("x11_sample_bench: no X display answers (DISPLAY=%s); run it through scripts/with-xvfb.sh\n",
                    std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 0;
    }
    constexpr const char* kTitle = "作業中のウィンドウ — 週報.txt";
    std::optional<brisko::test::X11TestWindow> window;
    // A loaded machine's window manager may take longer than the test window waits: try a few times.
    for (int attempt = 1; !window; ++attempt) {
        try {
            window.emplace(brisko::test::X11TestWindow::Properties{
                .wmClass = std::make_pair(std::string("bench"), std::string("BenchProbe")),
                .netWmName = std::string(kTitle),
                .pid = static_cast<std::uint32_t>(::getpid())});
            window->activate();
        } catch (const std::exception& e) {
            window.reset();
            if (attempt == 3) {
                std::printf("x11_sample_bench: %s (is a window manager running? scripts/with-xvfb.sh starts one)\n",
                            e.what());
                return 1;
            }
        }
    }
    X11Workspace workspace({.connection = connection});
    X11Accessibility accessibility(connection);
    X11IdleTime idle(connection);

    int withApp = 0, withTitle = 0;
    auto sample = [&] {
        auto app = workspace.frontmostApplication();
        if (app) {
            ++withApp;
            if (accessibility.focusedWindowTitle(app->processIdentifier) == kTitle) ++withTitle;
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
    std::printf("x11_sample_bench: %d samples (%d with a frontmost application, %d with its title)\n", iterations,
                withApp, withTitle);
    if (withApp != iterations || withTitle != iterations) {
        std::printf("  some samples missed the frontmost window or its title: the figures are not comparable\n");
        return 1;
    }
    const auto figures = brisko::bench::latencies(std::move(micros));
    std::printf("  mean %.1f us   median %.1f us   p99 %.1f us   max %.1f us\n", figures.mean, figures.median,
                figures.p99, figures.max);
    return 0;
}
