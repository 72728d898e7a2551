// One sample: the frontmost application, its window title and the idle time from the X server, the
// append to the buffer and the line in the buffer file. Goal: at most 2 ms. Run under Xvfb with a
// window manager (scripts/with-xvfb.sh).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityBufferFile.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/base/Log.hpp"
#include "platform/desktop/Workspace.hpp"
#include "platform/desktop/x11/X11Services.hpp"
#include "tests/app/AppTestSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::app;
namespace platform = brisko::platform;
using Clock = std::chrono::steady_clock;

int main() {
    platform::installX11Services();
    brisko::test::X11TestWindow probe(
        {.wmClass = std::make_pair(std::string("bench"), std::string("BenchProbe")),
         .netWmName = std::string("ベンチマークのウィンドウ"),
         .pid = static_cast<std::uint32_t>(::getpid())});
    probe.activate();
    brisko::app::test::TempDir dir;
    auto buffer =
        std::make_shared<ActivityBuffer>(std::make_unique<ActivityBufferFile>(dir / "buffer.jsonl"));
    auto recorder = ActivityTrackingService::make(
        {platform::Workspace::shared(), platform::Accessibility::shared(), platform::IdleTime::shared(),
         std::string("com.brisko.desktop"), buffer, nullptr, nullptr});
    platform::LogCapture quiet;
    constexpr int kWarmup = 50;
    constexpr int kSamples = 2000;
    std::vector<double> micros;
    for (int i = 0; i < kWarmup + kSamples; ++i) {
        auto t0 = Clock::now();
        recorder->captureEntry();
        auto t1 = Clock::now();
        if (i >= kWarmup) micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    buffer->flush();
    if (buffer->count() != static_cast<std::size_t>(kWarmup + kSamples) ||
        buffer->entries().back().entry.windowTitle != "ベンチマークのウィンドウ") {
        std::fprintf(stderr, "the samples did not see the probe window\n");
        return 1;
    }
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    std::printf(
        "one sample (X11 look-ups + append + buffer file): mean %.0f us, median %.0f us, p99 %.0f us (goal "
        "<= 2000 us)\n",
        sum / micros.size(), micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
    return 0;
}
