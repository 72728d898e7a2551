// Fuzzes the heartbeat file reader, then works the bundle it reads as the controller would.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/internal/HeartbeatsBundle.hpp"

using namespace brisko::core::internal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto bundle = HeartbeatsBundle::fromJSONText(text);
    if (!bundle) return 0;
    // What a stored bundle goes through: written back, a heartbeat appended, today's taken, flushed.
    const auto written = bundle->jsonText();
    if (!HeartbeatsBundle::fromJSONText(written)) __builtin_trap();
    const Date today = startOfUTCDay(dateFromReferenceInterval(786240000.0));
    bundle->append(Heartbeat{"fuzz/1", today, 0, {TimePeriod::daily}});
    bundle->takeHeartbeat(today);
    bundle->append(Heartbeat{"fuzz/2", today, 0, {TimePeriod::daily}});
    const auto payload = bundle->makePayload();
    (void)payload.headerValue();
    return 0;
}
