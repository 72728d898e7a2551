// The open window's cost: the running app, signed in, under Xvfb with a window manager and a tray host on
// a private session bus, its window open and on screen, first while recording (the status dot breathes)
// and then stopped (nothing moves), each over 120 s: CPU time and wakeups (context switches of all its
// threads), with the threads that woke. Goals per 120 s: recording at most 0.3 s of CPU and 2,000
// wakeups a minute; stopped at most 0.05 s of CPU. Then a plain Qt window with the same breathing dot
// (AppWindowBaseline.cpp) is measured the same way.
// Usage: dbus-run-session -- scripts/with-xvfb.sh app_window_bench [SECONDS]
#include <signal.h>

#include <QCoreApplication>
#include <cstdio>
#include <string>

#include "bench/AppBenchSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::bench;

namespace {
constexpr double kRecordingCPUGoal = 0.3;  // seconds per 120 s
constexpr double kRecordingWakeupGoal = 2000;
constexpr double kStoppedCPUGoal = 0.05;  // seconds per 120 s

bool report(const char* phase, qint64 pid, const Period& period, double cpuGoal, double wakeupGoal) {
    printPeriod(phase, pid, period);
    const double cpuPer120 = period.cpuSeconds() * 120.0 / period.seconds;
    const bool met = cpuPer120 <= cpuGoal && period.wakeupsPerMinute() <= wakeupGoal;
    std::printf("  %.3f s CPU per 120 s (goal %.2f), %.0f wakeups/min (goal %.0f): %s\n", cpuPer120, cpuGoal,
                period.wakeupsPerMinute(), wakeupGoal, met ? "met" : "NOT met");
    return met;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    SignedInApp bench;
    if (!bench.prepare()) return 1;
    brisko::test::X11TestWindow probe(probeWindowProperties());
    QProcess process;
    if (!bench.launch(BRISKO_APP_BINARY, process)) return 1;
    const qint64 pid = process.processId();
    // The window opens at launch; recording samples the probe, which stays in front of it.
    probe.activate();
    if (!pump([] { return shownWindow() != 0; }, 5000) || !bench.click("記録を開始") ||
        !pump([&] { return bench.bufferText().find("作業中のウィンドウ") != std::string::npos; })) {
        std::fprintf(stderr, "the window did not open or recording did not start\n");
        return 1;
    }
    pump([] { return false; }, 2000);  // let start-up settle
    const bool recordingMet =
        report("window open, recording", pid, measureFor(pid, seconds), kRecordingCPUGoal, kRecordingWakeupGoal);

    // Stopping uploads what was recorded; then the window only waits.
    if (!bench.click("記録を停止") || !pump([&] { return bench.uploads() > 0; }, 30000)) {
        std::fprintf(stderr, "recording did not stop with an upload\n");
        return 1;
    }
    pump([] { return false; }, 2000);
    const bool stoppedMet = report("window open, stopped", pid, measureFor(pid, seconds), kStoppedCPUGoal, 1e9);

    ::kill(static_cast<pid_t>(pid), SIGTERM);
    process.waitForFinished(5000);

    // The same window and dot in plain Qt, for what the toolkit itself costs.
    constexpr const char* kBaselineTitle = "Brisko Window Baseline";
    QProcess baseline;
    baseline.start(QStringLiteral(BRISKO_BASELINE_BINARY), {});
    if (!baseline.waitForStarted(5000) || !pump([&] { return shownWindow(kBaselineTitle) != 0; }, 10000)) {
        std::fprintf(stderr, "the baseline did not show its window\n");
        return 1;
    }
    pump([] { return false; }, 2000);
    report("baseline (a Qt window with the same dot, no code of ours)", baseline.processId(),
           measureFor(baseline.processId(), seconds), kRecordingCPUGoal, kRecordingWakeupGoal);
    baseline.kill();
    baseline.waitForFinished(5000);
    return recordingMet && stoppedMet ? 0 : 3;
}
