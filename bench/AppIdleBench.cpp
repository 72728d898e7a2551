// The running app's idle footprint while recording, under Xvfb with a window manager and a tray host on
// a private session bus: resident memory, CPU time and wakeups (context switches of all its threads)
// over 120 s, first with the window closed (the app in the tray), then with it open, each with where
// the resident pages come from and which threads woke. The app runs signed in (a user restored from its
// keychain file, tokens from the local identity service) against a companion service over HTTPS with a
// test CA, and has delivered uploads before the measures start, the last one after its window closed
// (as the tray app's uploads are), so libcurl, OpenSSL and the CA store are loaded as they are in use.
// Besides RSS it prints the proportional (PSS) and private (USS) figures: most of RSS is library pages
// that other processes share. Then the baseline, a minimal tray app made of the same libraries without
// any code of ours (AppIdleBaseline.cpp), goes through the same steps (window shown, closed, an upload
// over HTTPS with the window closed) and is measured the same way, and the mappings where the app keeps
// more resident than it are listed. Goals: at most 40 MiB and 0.1 s of CPU per 120 s, window closed.
// Usage: dbus-run-session -- scripts/with-xvfb.sh app_idle_bench [SECONDS]
#include <signal.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/AppBenchSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::bench;

namespace {
// Where a mapping's pages come from, by its path.
std::string originOf(const std::string& path) {
    const auto has = [&path](const char* part) { return path.find(part) != std::string::npos; };
    if (path.empty() || path.front() == '[') return "heap, stacks, anonymous";
    if (path == BRISKO_APP_BINARY || path == BRISKO_BASELINE_BINARY) return "the app binary";
    if (has("/fonts/") || has("/fontconfig/")) return "font files and caches";
    if (has("libQt6") || has("/qt6/plugins/")) return "Qt libraries and plugins";
    if (has(".so")) return "other libraries";
    return "other files and shared memory";
}

// Resident kB by where the pages come from.
std::map<std::string, long> residentByOrigin(const std::vector<Mapping>& mappings) {
    std::map<std::string, long> kB;
    for (const auto& m : mappings) {
        const std::string origin = originOf(m.path);
        kB[origin] += m.residentKB;
        if (origin != "heap, stacks, anonymous") {
            // Written pages of a file mapping (libraries' relocated data) are the process's own.
            kB[origin] -= m.writtenKB;
            kB["libraries' written data"] += m.writtenKB;
        }
    }
    return kB;
}

// Resident kB of each mapped file, and of the anonymous mappings by kind; either binary is "[executable]".
std::map<std::string, long> residentByMapping(const std::vector<Mapping>& mappings) {
    std::map<std::string, long> kB;
    for (const auto& m : mappings) {
        const bool executable = m.path == BRISKO_APP_BINARY || m.path == BRISKO_BASELINE_BINARY;
        kB[executable ? "[executable]" : m.path.empty() ? "[anonymous]" : m.path] += m.residentKB;
    }
    return kB;
}

// Measures over `seconds` and returns what was resident at the end, by mapping.
std::map<std::string, long> measure(const char* phase, qint64 pid, int seconds) {
    printPeriod(phase, pid, measureFor(pid, seconds));
    const auto mappings = mappingsOf(pid);
    std::printf("  resident:");
    for (const auto& [origin, kB] : residentByOrigin(mappings)) {
        std::printf(" %s %.1f MiB;", origin.c_str(), kB / 1024.0);
    }
    std::printf("\n");
    return residentByMapping(mappings);
}

// Where the app keeps more (or less) resident than the baseline: the mappings that differ by 64 kB or more.
void compare(const std::map<std::string, long>& app, const std::map<std::string, long>& baseline) {
    std::vector<std::pair<long, std::string>> differences;
    long total = 0;
    for (const auto& [mapping, kB] : app) {
        const auto it = baseline.find(mapping);
        differences.emplace_back(kB - (it == baseline.end() ? 0 : it->second), mapping);
    }
    for (const auto& [mapping, kB] : baseline) {
        if (!app.contains(mapping)) differences.emplace_back(-kB, mapping);
    }
    std::sort(differences.begin(), differences.end(), std::greater<>());
    for (const auto& d : differences) total += d.first;
    std::printf("the app beyond the baseline: %+.1f MiB resident; by mapping (64 kB or more):\n", total / 1024.0);
    for (const auto& [kB, mapping] : differences) {
        if (std::abs(kB) >= 64) std::printf("  %+7.0f kB  %s\n", static_cast<double>(kB), mapping.c_str());
    }
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
    probe.activate();
    if (!bench.click("記録を開始") ||
        !pump([&] { return bench.bufferText().find("作業中のウィンドウ") != std::string::npos; })) {
        std::fprintf(stderr, "recording did not start\n");
        return 1;
    }
    const qint64 pid = process.processId();
    pump([] { return false; }, 2000);  // let start-up settle

    // Stopping uploads what was recorded: the first delivery over HTTPS. Then recording goes on.
    const long before = usageOf(pid).rssKB;
    if (!pump([&] { return !bench.server.requestsTo(SignedInApp::kPairingPath).empty(); }) ||
        !bench.click("記録を停止") || !pump([&] { return bench.uploads() > 0; }, 30000)) {
        std::fprintf(stderr, "the app delivered nothing over HTTPS (pairing %zu, uploads %zu)\n",
                     bench.server.requestsTo(SignedInApp::kPairingPath).size(), bench.uploads());
        return 1;
    }
    pump([] { return false; }, 1000);
    std::printf("RSS before the first upload %.1f MiB, after it %.1f MiB\n", before / 1024.0,
                usageOf(pid).rssKB / 1024.0);
    if (!bench.click("記録を開始")) {
        std::fprintf(stderr, "recording did not start again\n");
        return 1;
    }

    // The app in the tray: close its window with the window manager's close.
    closeWindow(shownWindow());
    if (!pump([] { return shownWindow() == 0; }, 5000)) {
        std::fprintf(stderr, "the window did not close\n");
        return 1;
    }
    // The tray app's uploads happen with its window closed: stopping uploads, then recording goes on.
    const std::size_t delivered = bench.uploads();
    if (!bench.click("記録を停止") || !pump([&] { return bench.uploads() > delivered; }, 30000) ||
        !bench.click("記録を開始")) {
        std::fprintf(stderr, "the app delivered nothing over HTTPS with its window closed\n");
        return 1;
    }
    pump([] { return false; }, 1000);
    const auto appResident = measure("recording, window closed", pid, seconds);

    bench.click("アプリを開く");
    if (!pump([] { return shownWindow() != 0; }, 5000)) {
        std::fprintf(stderr, "the window did not open again\n");
        return 1;
    }
    pump([] { return false; }, 1000);
    measure("recording, window open", pid, seconds);

    ::kill(static_cast<pid_t>(pid), SIGTERM);
    process.waitForFinished(5000);
    std::printf("deliveries over HTTPS during the run: %zu POSTs\n", bench.uploads());

    // The baseline through the same steps: its window shown at launch and closed, then an upload over
    // HTTPS with the window closed. Its resident set settles within seconds; its CPU is no goal.
    constexpr const char* kBaselineTitle = "Brisko Baseline";
    QProcess baseline;
    if (!bench.launch(BRISKO_BASELINE_BINARY, baseline) || !pump([&] { return shownWindow(kBaselineTitle) != 0; })) {
        std::fprintf(stderr, "the baseline did not show its tray item and window\n");
        return 1;
    }
    pump([] { return false; }, 2000);
    closeWindow(shownWindow(kBaselineTitle));
    const std::size_t uploadsBefore = bench.uploads();
    if (!pump([&] { return shownWindow(kBaselineTitle) == 0; }, 5000) || !bench.click("記録を停止") ||
        !pump([&] { return bench.uploads() > uploadsBefore; }, 30000)) {
        std::fprintf(stderr, "the baseline did not close its window and upload over HTTPS\n");
        return 1;
    }
    pump([] { return false; }, 1000);
    const auto baselineResident =
        measure("baseline (Qt tray app with libcurl and OpenSSL, no code of ours), window closed", baseline.processId(),
                std::min(seconds, 20));
    compare(appResident, baselineResident);
    baseline.kill();
    baseline.waitForFinished(5000);
    return 0;
}
