// The app's heartbeat logger: the "X-Zudiridi-Client" value, consumed by the first request.
#include <doctest/doctest.h>

#include <atomic>
#include <future>

#include "core/HeartbeatLogger.hpp"
#include "core/internal/HeartbeatController.hpp"

using namespace brisko;
using core::internal::Date;

namespace {

struct Fixture {
    std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(786240000.0 + 3600);
    std::shared_ptr<core::HeartbeatLogger> logger;

    explicit Fixture(const std::string& id) {
        auto controller = std::make_shared<core::internal::HeartbeatController>(
            id, [now = now] { return core::internal::dateFromReferenceInterval(now->load()); });
        logger = std::make_shared<core::HeartbeatLogger>(
            std::make_shared<core::HeartbeatController>(controller),
            [] { return std::string("apple-platform/linux zudi-ios/12.12.0"); });
    }
    void nextDay() { *now = now->load() + 86400.0; }
};

std::optional<std::string> asyncHeader(core::HeartbeatLogger& logger) {
    std::promise<std::optional<std::string>> promise;
    logger.asyncHeaderValueWithCompletionHandler(
        [&](std::optional<std::string> value) { promise.set_value(value); });
    auto future = promise.get_future();
    REQUIRE(future.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    return future.get();
}

}  // namespace

TEST_CASE("with nothing stored there is no header value, synchronously or not") {
    Fixture f("1:1:ios:logger-empty");
    CHECK_FALSE(f.logger->headerValue());
    CHECK_FALSE(asyncHeader(*f.logger));
}

TEST_CASE("one logged heartbeat gives one header value; the next request gets none") {
    Fixture f("1:1:ios:logger-once");
    f.logger->log();
    const auto header = asyncHeader(*f.logger);
    REQUIRE(header);
    CHECK(*header ==
          core::HeartbeatsPayload(
              core::internal::HeartbeatsPayload({{"apple-platform/linux zudi-ios/12.12.0",
                                                  {core::internal::dateFromReferenceInterval(786240000.0)}}}))
              .headerValue());
    CHECK_FALSE(f.logger->headerValue());
    f.nextDay();
    f.logger->log();
    CHECK(f.logger->headerValue());
}

TEST_CASE("today's heartbeat code is 2 once after a log on a new day, else 0") {
    Fixture f("1:1:ios:logger-code");
    CHECK(f.logger->heartbeatCodeForToday() == core::HeartbeatInfoCode::none);
    f.logger->log();
    CHECK(f.logger->heartbeatCodeForToday() == core::HeartbeatInfoCode::global);
    CHECK(f.logger->heartbeatCodeForToday() == core::HeartbeatInfoCode::none);
    f.logger->log();
    CHECK(f.logger->heartbeatCodeForToday() == core::HeartbeatInfoCode::none);
}
