// Memory over recording cycles from the tray: the running app, signed in, its window closed (the tray
// app), started and stopped from its tray menu CYCLES times (400 by default), each stop uploading what
// was sampled to the companion service over HTTPS. Prints the resident set (and its anonymous part, the
// heap) every 50 cycles. Goal: flat within a few MiB from the 50th cycle on.
// Another build of the app (the sanitizer build's, say) may be given to see what its allocator keeps.
// Usage: dbus-run-session -- scripts/with-xvfb.sh app_cycles_bench [CYCLES [APP-BINARY]]
#include <signal.h>

#include <QCoreApplication>
#include <cstdio>
#include <string>

#include "bench/AppBenchSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::bench;

namespace {
constexpr int kReportEvery = 50;
constexpr double kFlatGoalMiB = 4;
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 400;
    SignedInApp bench;
    if (!bench.prepare()) return 1;
    brisko::test::X11TestWindow probe(probeWindowProperties());
    QProcess process;
    const char* binary = argc > 2 ? argv[2] : BRISKO_APP_BINARY;
    if (!bench.launch(binary, process)) return 1;
    const qint64 pid = process.processId();
    if (!pump([] { return shownWindow() != 0; }, 5000)) {
        std::fprintf(stderr, "the window did not open\n");
        return 1;
    }
    closeWindow(shownWindow());
    if (!pump([] { return shownWindow() == 0; }, 5000)) {
        std::fprintf(stderr, "the window did not close\n");
        return 1;
    }
    probe.activate();
    pump([] { return false; }, 2000);
    const Usage start = usageOf(pid);
    std::printf("before the first cycle: RSS %.1f MiB, anonymous %.1f MiB\n", start.rssKB / 1024.0,
                start.anonKB / 1024.0);
    long warmRSS = 0, warmAnon = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const std::size_t delivered = bench.uploads();
        // A stop uploads the sample its start took: wait for it, so each cycle ends where it began.
        if (!bench.click("記録を開始") || !bench.click("記録を停止") ||
            !pump([&] { return bench.uploads() > delivered; }, 30000)) {
            std::fprintf(stderr, "cycle %d did not start, stop and upload\n", cycle);
            return 1;
        }
        if (cycle % kReportEvery != 0) continue;
        pump([] { return false; }, 600);  // past the idle release that follows the menu's use
        const Usage now = usageOf(pid);
        if (cycle == kReportEvery) {
            warmRSS = now.rssKB;
            warmAnon = now.anonKB;
        }
        std::printf("after %d cycles: RSS %.1f MiB (%+.1f since cycle %d), anonymous %.1f MiB (%+.1f), CPU %.2f s\n",
                    cycle, now.rssKB / 1024.0, (now.rssKB - warmRSS) / 1024.0, kReportEvery, now.anonKB / 1024.0,
                    (now.anonKB - warmAnon) / 1024.0, now.cpuSeconds);
        std::fflush(stdout);
    }
    const Usage end = usageOf(pid);
    const double growth = (end.rssKB - warmRSS) / 1024.0;
    std::printf("growth from cycle %d to %d: %+.1f MiB (goal at most %.0f): %s; %zu uploads\n", kReportEvery, cycles,
                growth, kFlatGoalMiB, growth <= kFlatGoalMiB ? "met" : "NOT met", bench.uploads());
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    process.waitForFinished(5000);
    return growth <= kFlatGoalMiB ? 0 : 3;
}
