// Upload of a full buffer (5760 entries, 12 POSTs of 500) to a local companion service, against curl
// posting the same 12 bodies over one connection in the same run. Goal: at most 1.2 times curl.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/recording/ActivityPayload.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;
using Clock = std::chrono::steady_clock;

int main() {
    constexpr int kRounds = 7;
    std::vector<double> ours, curls;
    for (int round = 0; round < kRounds; ++round) {
        RecorderFixture f;
        f.fill(ActivityBuffer::kCapacity);
        // The same bodies, for curl: what the upload will send.
        const auto date = platform::formatDate(platform::now(), "yyyy-MM-dd", platform::TimeZone::local);
        std::vector<ActivityEntry> all;
        for (auto& e : f.buffer->entries()) all.push_back(e.entry);
        std::string command = "curl -s -o /dev/null";
        for (std::size_t start = 0, i = 0; start < all.size(); start += 500, ++i) {
            auto path = (f.dir / ("body" + std::to_string(i) + ".json")).string();
            std::ofstream(path) << ActivityPayload{date,
                                                   std::span(all).subspan(
                                                       start, std::min<std::size_t>(500, all.size() - start))}
                                       .toJSON();
            if (i) command += " --next -s -o /dev/null";
            command += " -H 'Content-Type: application/json' --data-binary @" + path + " " +
                       f.service.baseURL() + "/api/mac-activity/ingest";
        }

        platform::LogCapture quiet;
        auto t0 = Clock::now();
        run(f.recorder->upload());
        auto t1 = Clock::now();
        if (f.service.ingests().size() != 12 || f.buffer->count() != 0) {
            std::fprintf(stderr, "upload did not deliver the full buffer\n");
            return 1;
        }
        auto t2 = Clock::now();
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "curl failed\n");
            return 1;
        }
        auto t3 = Clock::now();
        ours.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        curls.push_back(std::chrono::duration<double, std::milli>(t3 - t2).count());
    }
    std::sort(ours.begin(), ours.end());
    std::sort(curls.begin(), curls.end());
    const double a = ours[kRounds / 2], b = curls[kRounds / 2];
    std::printf(
        "upload of 5760 entries (12 POSTs): median %.1f ms; curl with the same bodies: median %.1f ms; ratio "
        "%.2f (goal <= 1.2)\n",
        a, b, a / b);
    return 0;
}
