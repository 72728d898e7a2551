// Measures one activity sample in a Wayland session as the recorder takes it every 30 s: the frontmost
// application, its window title and the idle time, through the services installDesktopServices() chose
// (wlroots on sway, the KWin script on KDE Plasma), with a real probe window in front. Goal: at most
// 2 ms a sample. Run it in a compositor: scripts/with-compositor.sh sway|kwin build/bench/bench/wayland_sample_bench
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "bench/Figures.hpp"
#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/DesktopServices.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/desktop/Workspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    if (!std::getenv("WAYLAND_DISPLAY")) {
        std::printf("wayland_sample_bench: no WAYLAND_DISPLAY; run it through scripts/with-compositor.sh\n");
        return 0;
    }
    QCoreApplication app(argc, argv);
    ::setenv("BRISKO_RESOURCES_DIR", BRISKO_SOURCE_DIR "/resources", 0);
    const auto choice = platform::installDesktopServices();
    constexpr const char* kAppID = "brisko-bench-probe";
    constexpr const char* kTitle = "作業中のウィンドウ — 週報.txt";
    std::unique_ptr<test::ChildProcess> probe;
    if (choice.backend == platform::DesktopBackend::kwin) {
        probe = std::make_unique<test::ChildProcess>(std::vector<std::string>{BRISKO_QT_TEST_WINDOW, kAppID, kTitle});
    } else if (choice.backend == platform::DesktopBackend::wlroots) {
        probe = std::make_unique<test::ChildProcess>(std::vector<std::string>{
            "foot", std::string("--app-id=") + kAppID, std::string("--title=") + kTitle, "sh", "-c", "sleep 600"});
    } else {
        std::printf("wayland_sample_bench: backend %s has no Wayland probe here\n",
                    std::string(platform::caseName(choice.backend)).c_str());
        return 1;
    }
    auto workspace = platform::Workspace::shared();
    auto accessibility = platform::Accessibility::shared();
    auto idle = platform::IdleTime::shared();
    auto frontmostIsProbe = [&] {
        auto front = workspace->frontmostApplication();
        return front && front->localizedName == kAppID;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!frontmostIsProbe() && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    if (!frontmostIsProbe()) {
        std::printf("wayland_sample_bench: the probe window never came to the front\n");
        return 1;
    }

    int withApp = 0, withTitle = 0;
    auto sample = [&] {
        auto front = workspace->frontmostApplication();
        if (front) {
            ++withApp;
            if (accessibility->focusedWindowTitle(front->processIdentifier) == kTitle) ++withTitle;
        }
        (void)idle->secondsSinceLastInput();
    };
    for (int i = 0; i < 50; ++i) sample();  // warm-up: the desktop-entry index
    withApp = withTitle = 0;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        sample();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("wayland_sample_bench (%s): %d samples (%d with a frontmost application, %d with its title)\n",
                std::string(platform::caseName(choice.backend)).c_str(), iterations, withApp, withTitle);
    if (withApp != iterations || withTitle != iterations) {
        std::printf("  some samples missed the frontmost window or its title: the figures are not comparable\n");
        return 1;
    }
    const auto figures = bench::latencies(std::move(micros));
    std::printf("  mean %.1f us   median %.1f us   p99 %.1f us   max %.1f us   (goal <= 2000 us)\n", figures.mean,
                figures.median, figures.p99, figures.max);
    std::fflush(nullptr);
    std::_Exit(0);  // the shared Wayland connection's thread runs until the process ends
}
