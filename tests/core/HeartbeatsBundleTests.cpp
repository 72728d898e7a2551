// The heartbeats bundle, its ring, its file form and the payload's header value.
#include <doctest/doctest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/internal/HeartbeatsBundle.hpp"

using namespace brisko;
using namespace brisko::core::internal;

namespace {

// 2025-12-01T00:00:00Z plus whole days.
Date day(int n) {
    return dateFromReferenceInterval(786240000.0 + 86400.0 * n);
}

Heartbeat beat(std::string agent, int dayNumber) {
    return Heartbeat{std::move(agent), day(dayNumber), 0, {TimePeriod::daily}};
}

std::string decodeHeader(const std::string& header) {
    auto compressed = dataFromBase64URLEncoded(header);
    REQUIRE(compressed);
    auto json = unzipped(*compressed);
    REQUIRE(json);
    return std::string(json->begin(), json->end());
}

}  // namespace

TEST_CASE("a payload groups heartbeats per agent, sorted by agent, with UTC day strings") {
    HeartbeatsBundle bundle(30);
    bundle.append(beat("b/1", 0));
    bundle.append(beat("a/1", 1));
    bundle.append(beat("b/1", 1));
    const auto payload = bundle.makePayload();
    CHECK(
        payload.jsonText() ==
        R"({"heartbeats":[{"agent":"a/1","dates":["2025-12-02"]},{"agent":"b/1","dates":["2025-12-01","2025-12-02"]}],"version":2})");
}

TEST_CASE("the header value is gzip then base64url without padding, and decodes back to the JSON") {
    HeartbeatsBundle bundle(30);
    for (int i = 0; i < 20; ++i)
        bundle.append(beat("apple-platform/linux zudi-ios/12.12.0 agent" + std::to_string(i % 3), i));
    const auto payload = bundle.makePayload();
    const std::string header = payload.headerValue();
    CHECK(header.find_first_of("+/=") == std::string::npos);
    CHECK(decodeHeader(header) == payload.jsonText());

    const std::string empty = HeartbeatsPayload::empty().headerValue();
    CHECK_FALSE(empty.empty());
    CHECK(decodeHeader(empty) == R"({"heartbeats":[],"version":2})");
    CHECK(HeartbeatsPayload::fromJSONText(payload.jsonText()) == payload);
}

TEST_CASE("the ring of a bundle keeps the newest heartbeats and their last-added date") {
    SUBCASE("capacity 3 after days 1 to 4 holds days 4, 2, 3 with the tail at 1") {
        HeartbeatsBundle bundle(3);
        for (int d = 1; d <= 4; ++d) bundle.append(beat("a/1", d));
        REQUIRE(bundle.buffer.circularQueue.size() == 3);
        CHECK(bundle.buffer.circularQueue[0]->date == day(4));
        CHECK(bundle.buffer.circularQueue[1]->date == day(2));
        CHECK(bundle.buffer.circularQueue[2]->date == day(3));
        CHECK(bundle.buffer.tailIndex == 1);
        CHECK(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily) == day(4));
    }
    SUBCASE("a displaced heartbeat's date is forgotten for periods the new one does not count for") {
        HeartbeatsBundle bundle(1);
        bundle.append(beat("a/1", 1));
        bundle.append(Heartbeat{"a/1", day(2), 0, {}});
        CHECK(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily) == distantPast());
    }
    SUBCASE("capacity 0 changes nothing; slots missing still records the dates") {
        HeartbeatsBundle none(0);
        none.append(beat("a/1", 1));
        CHECK(none.lastAddedHeartbeatDates.at(TimePeriod::daily) == distantPast());

        HeartbeatsBundle noSlots(5);
        noSlots.buffer.circularQueue.clear();
        noSlots.append(beat("a/1", 1));
        CHECK(noSlots.buffer.elements().empty());
        CHECK(noSlots.lastAddedHeartbeatDates.at(TimePeriod::daily) == day(1));
    }
    SUBCASE("a tail outside the ring resets the bundle to one diagnostic heartbeat") {
        HeartbeatsBundle bundle(30);
        bundle.append(beat("x/1", 0));
        bundle.buffer.tailIndex = 30;
        bundle.append(beat("a/1", 3));
        const auto elements = bundle.buffer.elements();
        REQUIRE(elements.size() == 1);
        CHECK(elements[0].agent ==
              "a/1 error/Out-of-bounds-push-at-index-30-to-ring-buffer-with-end-index-of-30.");
        CHECK(bundle.buffer.circularQueue[0].has_value());
        CHECK(bundle.buffer.tailIndex == 1);
        CHECK(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily) == day(3));
    }
}

TEST_CASE("taking out one day's heartbeat keeps the others in their order of age") {
    HeartbeatsBundle bundle(5);
    for (int d = 1; d <= 7; ++d) bundle.append(beat("a/1", d));  // wrapped: holds days 3..7
    auto order = [&] {
        std::vector<Date> dates;
        auto slots = bundle.buffer.circularQueue;
        const auto n = static_cast<std::int64_t>(slots.size());
        for (std::int64_t i = 0; i < n; ++i) {
            const auto& slot = slots[static_cast<std::size_t>((bundle.buffer.tailIndex + i) % n)];
            if (slot) dates.push_back(slot->date);
        }
        return dates;
    };
    CHECK_FALSE(bundle.takeHeartbeat(day(9)));
    CHECK(order() == std::vector<Date>{day(3), day(4), day(5), day(6), day(7)});
    auto taken = bundle.takeHeartbeat(day(5));
    REQUIRE(taken);
    CHECK(taken->date == day(5));
    CHECK(order() == std::vector<Date>{day(3), day(4), day(6), day(7)});
    CHECK(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily) == day(7));
}

TEST_CASE("the heartbeat file form holds the documented keys and reads back") {
    HeartbeatsBundle bundle(30);
    bundle.append(beat("a/1", 0));
    const auto json = nlohmann::json::parse(bundle.jsonText());
    CHECK(json["capacity"] == 30);
    CHECK(json["lastAddedHeartbeatDates"] == nlohmann::json::array({1, 786240000.0}));
    CHECK(json["buffer"]["tailIndex"] == 1);
    CHECK(json["buffer"]["circularQueue"].size() == 30);
    CHECK(json["buffer"]["circularQueue"][0] ==
          nlohmann::json{{"agent", "a/1"}, {"date", 786240000.0}, {"version", 0}, {"timePeriods", {1}}});
    CHECK(json["buffer"]["circularQueue"][1].is_null());
    CHECK(HeartbeatsBundle::fromJSONText(bundle.jsonText()) == bundle);

    // Key order carries no meaning, and integral dates may be written without a fraction.
    CHECK(HeartbeatsBundle::fromJSONText(
        R"({"buffer":{"tailIndex":0,"circularQueue":[null]},"lastAddedHeartbeatDates":[1,786240000],"capacity":1})"));
}

TEST_CASE("a damaged heartbeat file reads as no bundle") {
    const std::string good = [] {
        HeartbeatsBundle b(30);
        b.append(beat("a/1", 0));
        return b.jsonText();
    }();
    auto withCapacity = [](std::string value) {
        return R"({"capacity":)" + value +
               R"(,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[null,null],"tailIndex":0}})";
    };
    auto withTail = [](std::string value) {
        return R"({"capacity":2,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[null,null],"tailIndex":)" +
               value + "}}";
    };
    auto withHeartbeat = [](std::string heartbeat) {
        return R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[)" + heartbeat +
               R"(],"tailIndex":0}})";
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty text", ""},
        {"an empty object", "{}"},
        {"text that is not JSON", "heartbeats!"},
        {"a truncated file", good.substr(0, good.size() / 2)},
        {"a JSON array", "[1,2,3]"},
        {"a huge capacity", withCapacity("1000000000000")},
        {"a capacity beyond 64 bits", withCapacity("1e300")},
        {"a negative capacity", withCapacity("-5")},
        {"a zero capacity", withCapacity("0")},
        {"a fractional capacity", withCapacity("2.5")},
        {"a capacity as text", withCapacity("\"30\"")},
        {"a tail at the slot count", withTail("2")},
        {"a negative tail", withTail("-1")},
        {"a huge tail", withTail("18446744073709551615")},
        {"an odd last-added list",
         R"({"capacity":1,"lastAddedHeartbeatDates":[1],"buffer":{"circularQueue":[null],"tailIndex":0}})"},
        {"an unknown period",
         R"({"capacity":1,"lastAddedHeartbeatDates":[2,0],"buffer":{"circularQueue":[null],"tailIndex":0}})"},
        {"a date beyond year 9999",
         R"({"capacity":1,"lastAddedHeartbeatDates":[1,1e300],"buffer":{"circularQueue":[null],"tailIndex":0}})"},
        {"a heartbeat agent of another type",
         withHeartbeat(R"({"agent":7,"date":0,"version":0,"timePeriods":[1]})")},
        {"a heartbeat date as text",
         withHeartbeat(R"({"agent":"a","date":"today","version":0,"timePeriods":[1]})")},
        {"a heartbeat without version", withHeartbeat(R"({"agent":"a","date":0,"timePeriods":[1]})")},
        {"a heartbeat of an unknown period",
         withHeartbeat(R"({"agent":"a","date":0,"version":0,"timePeriods":[3]})")},
        {"a slot that is no heartbeat", withHeartbeat("42")},
        {"a missing buffer", R"({"capacity":1,"lastAddedHeartbeatDates":[]})"},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']')},
        {"more slots than a bundle may have",
         R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[)" +
             [] {
                 std::string s = "null";
                 for (int i = 0; i < 2000; ++i) s += ",null";
                 return s;
             }() +
             R"(],"tailIndex":0}})"},
    };
    for (const auto& [name, text] : cases) {
        CAPTURE(name);
        CHECK_FALSE(HeartbeatsBundle::fromJSONText(text));
    }
}
