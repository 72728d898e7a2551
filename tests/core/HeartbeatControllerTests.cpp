// The heartbeat controller over its per-identifier storage and file: one heartbeat per UTC day, flushes
// that consume once, damaged files, shared storage objects and concurrent writers.
#include <doctest/doctest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/HeartbeatController.hpp"
#include "core/internal/FileStorage.hpp"
#include "core/internal/HeartbeatController.hpp"
#include "core/internal/UserDefaultsStorage.hpp"
#include "platform/storage/FileSystem.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core::internal;

namespace {

// 2025-12-01T00:00:00Z plus seconds.
Date at(double secondsFromDecemberFirst) {
    return dateFromReferenceInterval(786240000.0 + secondsFromDecemberFirst);
}
constexpr double kDay = 86400.0;

// A settable date for one controller.
struct TestClock {
    std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(0.0);
    HeartbeatController::DateProvider provider() const {
        return [now = now] { return at(now->load()); };
    }
    void set(double seconds) { now->store(seconds); }
};

std::string uniqueID(std::string_view name) {
    static std::atomic<int> counter{0};
    return "1:" + std::to_string(++counter) + ":ios:" + std::string(name);
}

std::filesystem::path fileOf(const std::string& id) {
    return FileStorage::storage(id)->url();
}

void writeFile(const std::string& id, std::string_view text) {
    platform::FileSystem::writeFileAtomically(fileOf(id), platform::Data(text.begin(), text.end()),
                                              {.mode = 0600, .createDirectories = true});
}

std::string readFile(const std::string& id) {
    auto bytes = platform::FileSystem::readFile(fileOf(id));
    return std::string(bytes.begin(), bytes.end());
}

std::size_t heartbeatCount(const HeartbeatsPayload& payload) {
    std::size_t n = 0;
    for (const auto& p : payload.userAgentPayloads) n += p.dates.size();
    return n;
}

}  // namespace

TEST_CASE("the heartbeat file of an identifier lives in the heartbeat folder of the data folder") {
    const auto url = FileStorage::storage("1:123:ios:abc")->url();
    CHECK(url == core::testing::dataHome() / "brisko-desktop" / "ezevar-heartbeat-storage" /
                     "heartbeats-1_123_ios_abc");
    CHECK(FileStorage::storage("1:2:ios:../../x")->url().parent_path() == url.parent_path());
}

TEST_CASE("the first heartbeat of an identifier creates a bundle of 30 dated today at 00:00 UTC") {
    const auto id = uniqueID("first");
    TestClock clock;
    clock.set(13 * 3600 + 5);
    HeartbeatController controller(id, clock.provider());
    controller.log("a/1");
    controller.storage()->updateSync([](auto bundle) { return bundle; });  // waits for the queued log
    auto stored = HeartbeatsBundle::fromJSONText(readFile(id));
    REQUIRE(stored);
    CHECK(stored->capacity == 30);
    const auto beats = stored->buffer.elements();
    REQUIRE(beats.size() == 1);
    CHECK(beats[0] == Heartbeat{"a/1", at(0), 0, {TimePeriod::daily}});
    CHECK(stored->lastAddedHeartbeatDates.at(TimePeriod::daily) == at(0));
}

TEST_CASE("at most one heartbeat is recorded per UTC day, whatever the agent") {
    const auto id = uniqueID("daily");
    TestClock clock;
    HeartbeatController controller(id, clock.provider());
    clock.set(kDay - 1);  // 23:59:59
    controller.log("a/1");
    controller.log("b/1");
    clock.set(kDay + 1);  // 00:00:01 the next day
    controller.log("b/1");
    controller.log("a/1");
    const auto payload = controller.flush();
    REQUIRE(payload.userAgentPayloads.size() == 2);
    CHECK(payload.userAgentPayloads[0].agent == "a/1");
    CHECK(payload.userAgentPayloads[0].dates == std::vector<Date>{at(0)});
    CHECK(payload.userAgentPayloads[1].agent == "b/1");
    CHECK(payload.userAgentPayloads[1].dates == std::vector<Date>{at(kDay)});
}

TEST_CASE("a flush hands the heartbeats over exactly once and keeps the day's mark") {
    const auto id = uniqueID("flush");
    TestClock clock;
    HeartbeatController controller(id, clock.provider());

    SUBCASE("with no file: the empty payload, and an empty file is left") {
        CHECK(controller.flush() == HeartbeatsPayload::empty());
        CHECK(readFile(id).empty());
    }
    SUBCASE("after a flush the same day records nothing, the next day does") {
        controller.log("a/1");
        CHECK(heartbeatCount(controller.flush()) == 1);
        CHECK(controller.flush().isEmpty());
        auto stored = HeartbeatsBundle::fromJSONText(readFile(id));
        REQUIRE(stored);
        CHECK(stored->buffer.elements().empty());
        CHECK(stored->lastAddedHeartbeatDates.at(TimePeriod::daily) == at(0));
        controller.log("a/1");
        CHECK(controller.flush().isEmpty());
        clock.set(kDay);
        controller.log("a/1");
        CHECK(heartbeatCount(controller.flush()) == 1);
    }
    SUBCASE("the asynchronous flush completes once, on the storage queue") {
        controller.log("a/1");
        std::atomic<int> calls{0};
        std::atomic<bool> onQueue{false};
        auto storage = std::dynamic_pointer_cast<HeartbeatStorage>(controller.storage());
        controller.flushAsync([&](HeartbeatsPayload payload) {
            onQueue = storage->queue()->isCurrent();
            CHECK(heartbeatCount(payload) == 1);
            ++calls;
        });
        CHECK(controller.flush().isEmpty());  // queued after the async flush
        CHECK(calls == 1);
        CHECK(onQueue);
    }
}

TEST_CASE("taking today's heartbeat leaves other days stored") {
    const auto id = uniqueID("today");
    TestClock clock;
    HeartbeatController controller(id, clock.provider());
    controller.log("a/1");
    clock.set(kDay);
    CHECK(controller.flushHeartbeatFromToday().isEmpty());
    clock.set(2 * kDay);
    controller.log("a/1");
    const auto today = controller.flushHeartbeatFromToday();
    REQUIRE(today.userAgentPayloads.size() == 1);
    CHECK(today.userAgentPayloads[0].dates == std::vector<Date>{at(2 * kDay)});
    controller.log("a/1");  // the day's mark is kept: nothing new
    const auto rest = controller.flush();
    REQUIRE(heartbeatCount(rest) == 1);
    CHECK(rest.userAgentPayloads[0].dates == std::vector<Date>{at(0)});
}

TEST_CASE("a damaged or emptied heartbeat file never stops heartbeats") {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"text that is not JSON", "not json at all"},
        {"an empty JSON object", "{}"},
        {"a truncated file", R"({"capacity":30,"lastAddedHeartbeatDates":[1,786240000],"buf)"},
        {"a huge capacity and a tail beyond the ring",
         R"({"capacity":4611686018427387904,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":99}})"},
        {"an empty last-added map",
         R"({"capacity":30,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[null],"tailIndex":0}})"},
        {"bytes that are not text", std::string("\xff\xfe\x00\x01garbage", 11)},
    };
    for (const auto& [name, text] : files) {
        CAPTURE(name);
        const auto id = uniqueID("damaged");
        writeFile(id, text);
        TestClock clock;
        clock.set(3 * kDay);
        HeartbeatController controller(id, clock.provider());
        controller.log("a/1");
        const auto payload = controller.flush();
        REQUIRE(heartbeatCount(payload) == 1);
        CHECK(payload.userAgentPayloads[0].dates == std::vector<Date>{at(3 * kDay)});
    }
}

TEST_CASE("a last-added date later than today counts as due") {
    // A clock that was once ten years ahead left its mark in the file.
    const auto id = uniqueID("future");
    TestClock clock;
    HeartbeatController controller(id, clock.provider());
    clock.set(3650 * kDay);
    controller.log("a/1");
    CHECK(heartbeatCount(controller.flush()) == 1);
    clock.set(3 * kDay);
    controller.log("a/1");
    const auto payload = controller.flush();
    REQUIRE(heartbeatCount(payload) == 1);
    CHECK(payload.userAgentPayloads[0].dates == std::vector<Date>{at(3 * kDay)});
    controller.log("a/1");  // the mark is today's again: one heartbeat a day
    CHECK(controller.flush().isEmpty());
}

TEST_CASE("a heartbeat file far larger than a real one is read as damaged") {
    const auto id = uniqueID("huge");
    TestClock clock;
    HeartbeatController controller(id, clock.provider());
    controller.log("a/1");
    controller.storage()->updateSync([](auto bundle) { return bundle; });
    // Still a valid bundle once the padding is skipped, but far beyond any real file.
    writeFile(id, readFile(id) + std::string(kMaxHeartbeatFileBytes, ' '));
    clock.set(kDay);
    controller.log("a/1");
    const auto payload = controller.flush();
    REQUIRE(heartbeatCount(payload) == 1);
    CHECK(payload.userAgentPayloads[0].dates == std::vector<Date>{at(kDay)});
}

TEST_CASE("controllers of one identifier share one storage object and its queue") {
    const auto id = uniqueID("shared");
    TestClock clock;
    HeartbeatController one(id, clock.provider());
    HeartbeatController two(id, clock.provider());
    CHECK(one.storage() == two.storage());
    one.log("a/1");
    CHECK(heartbeatCount(two.flush()) == 1);

    // The runtime-class face shares it too.
    auto objcOne = core::HeartbeatController::initWithId(id);
    auto objcTwo = core::HeartbeatController::initWithId(id);
    CHECK(objcOne->heartbeatController()->storage() == objcTwo->heartbeatController()->storage());
    auto empty = objcTwo->flush();
    CHECK(empty->isEmpty());
    CHECK(empty->headerValue() == HeartbeatsPayload::empty().headerValue());
}

TEST_CASE("a storage object that dies late does not remove a newer one from the cache") {
    const auto id = uniqueID("teardown");
    auto stray = std::make_shared<HeartbeatStorage>(id, FileStorage::storage(id));
    auto current = HeartbeatStorage::shared(id);
    stray.reset();
    CHECK(HeartbeatStorage::shared(id) == current);
}

// Bytes kept in memory, so the concurrency test measures the queue rather than the disk.
class MemoryStorage final : public Storage {
  public:
    platform::Data read() override {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    void write(const std::optional<platform::Data>& data) override {
        std::lock_guard lock(mutex_);
        bytes_ = data.value_or(platform::Data());
        ++writes_;
    }
    int writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

  private:
    std::mutex mutex_;
    platform::Data bytes_;
    int writes_ = 0;
};

TEST_CASE("the record is written only when it changes") {
    auto memory = std::make_shared<MemoryStorage>();
    auto storage = std::make_shared<HeartbeatStorage>(uniqueID("unchanged"), memory);
    TestClock clock;
    HeartbeatController controller(storage, clock.provider());
    // Flushing an empty record, again and again (as each request does), writes nothing.
    CHECK(heartbeatCount(controller.flush()) == 0);
    CHECK(heartbeatCount(controller.flush()) == 0);
    CHECK(memory->writes() == 0);
    // A heartbeat due today is written once; logging the same day again changes nothing.
    controller.log("a/1");
    controller.log("a/1");
    CHECK(heartbeatCount(controller.flush()) == 1);
    const int afterFlush = memory->writes();
    CHECK(afterFlush == 2);  // the heartbeat, then the flushed record
    CHECK(heartbeatCount(controller.flush()) == 0);
    CHECK(memory->writes() == afterFlush);
    // The next day's heartbeat is a change again.
    clock.set(kDay);
    controller.log("a/1");
    CHECK(heartbeatCount(controller.flush()) == 1);
    CHECK(memory->writes() == afterFlush + 2);
}

TEST_CASE("concurrent writers on one identifier's queue lose no update") {
    auto storage =
        std::make_shared<HeartbeatStorage>(uniqueID("concurrent"), std::make_shared<MemoryStorage>());
    storage->updateSync([](auto) { return HeartbeatsBundle(128); });
    constexpr int kThreads = 8;
    constexpr int kUpdates = 12;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kUpdates; ++i) {
                storage->updateAsync(
                    [t, i](std::optional<HeartbeatsBundle> bundle) -> std::optional<HeartbeatsBundle> {
                        if (!bundle) return bundle;
                        HeartbeatsBundle b = std::move(*bundle);
                        b.append(Heartbeat{"w/" + std::to_string(t), at(kDay * (t * kUpdates + i)), 0, {}});
                        return b;
                    });
            }
        });
    }
    // Meanwhile many controllers log the same day: still one heartbeat of that day.
    TestClock clock;
    clock.set(-kDay);
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([&] {
            HeartbeatController controller(storage, clock.provider());
            for (int i = 0; i < 20; ++i) controller.log("same-day/1");
        });
    }
    for (auto& t : threads) t.join();
    for (auto& t : loggers) t.join();
    const auto previous = storage->replaceSync([](auto) { return std::nullopt; });
    REQUIRE(previous);
    const auto beats = previous->buffer.elements();
    CHECK(std::count_if(beats.begin(), beats.end(),
                        [](const Heartbeat& h) { return h.agent.starts_with("w/"); }) == kThreads * kUpdates);
    CHECK(std::count_if(beats.begin(), beats.end(),
                        [](const Heartbeat& h) { return h.agent == "same-day/1"; }) == 1);
}

TEST_CASE("heartbeats can live in a user-defaults suite as well") {
    auto store = std::make_shared<core::internal::UserDefaultsStorage>("heartbeat.tests", "bundle");
    CHECK_THROWS_AS(store->read(), StorageError);
    auto storage = std::make_shared<HeartbeatStorage>("ud-id", store);
    TestClock clock;
    HeartbeatController controller(storage, clock.provider());
    controller.log("a/1");
    CHECK(heartbeatCount(controller.flush()) == 1);
    CHECK_FALSE(store->read().empty());
    store->write(std::nullopt);
    CHECK_THROWS_AS(store->read(), StorageError);
}
