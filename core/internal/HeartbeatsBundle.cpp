// The heartbeats bundle: appending into the ring, taking out a day, grouping into a payload, and the
// heartbeat file's JSON form with its checks.
#include "core/internal/HeartbeatsBundle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/internal/BoundedJSON.hpp"

namespace brisko::core::internal {
namespace {

using nlohmann::json;

constexpr std::string_view kCapacityKey = "capacity";
constexpr std::string_view kLastAddedKey = "lastAddedHeartbeatDates";
constexpr std::string_view kBufferKey = "buffer";
constexpr std::string_view kCircularQueueKey = "circularQueue";
constexpr std::string_view kTailIndexKey = "tailIndex";
constexpr std::string_view kAgentKey = "agent";
constexpr std::string_view kDateKey = "date";
constexpr std::string_view kVersionKey = "version";
constexpr std::string_view kTimePeriodsKey = "timePeriods";

std::string replaceAll(std::string text, char from, char to) {
    std::replace(text.begin(), text.end(), from, to);
    return text;
}

const json* member(const json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// An integer, also written as a float with no fraction.
std::optional<std::int64_t> integerValue(const json* value) {
    if (!value) return std::nullopt;
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() &&
            value->get<std::uint64_t>() > std::numeric_limits<std::int64_t>::max()) {
            return std::nullopt;
        }
        return value->get<std::int64_t>();
    }
    if (value->is_number_float()) {
        const double d = value->get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.0e15)
            return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<Date> dateValue(const json* value) {
    if (!value || !value->is_number()) return std::nullopt;
    const double seconds = value->get<double>();
    if (!std::isfinite(seconds) || !isStorableReferenceInterval(seconds)) return std::nullopt;
    return dateFromReferenceInterval(seconds);
}

std::optional<TimePeriod> periodValue(const json* value) {
    auto raw = integerValue(value);
    if (!raw) return std::nullopt;
    return timePeriodFromRawValue(*raw);
}

std::optional<Heartbeat> heartbeatFromJSON(const json& object) {
    const json* agent = member(object, kAgentKey);
    auto date = dateValue(member(object, kDateKey));
    auto version = integerValue(member(object, kVersionKey));
    const json* periods = member(object, kTimePeriodsKey);
    if (!agent || !agent->is_string() || !date || !version || !periods || !periods->is_array())
        return std::nullopt;
    Heartbeat heartbeat{agent->get<std::string>(), *date, *version, {}};
    for (const auto& p : *periods) {
        auto period = periodValue(&p);
        if (!period) return std::nullopt;
        heartbeat.timePeriods.push_back(*period);
    }
    return heartbeat;
}

json heartbeatToJSON(const Heartbeat& heartbeat) {
    json periods = json::array();
    for (auto p : heartbeat.timePeriods) periods.push_back(static_cast<int>(p));
    return json{{kAgentKey, heartbeat.agent},
                {kDateKey, referenceIntervalOf(heartbeat.date)},
                {kVersionKey, heartbeat.version},
                {kTimePeriodsKey, std::move(periods)}};
}

}  // namespace

HeartbeatsBundle::HeartbeatsBundle(std::int64_t cap)
    : capacity(cap), buffer(static_cast<std::size_t>(std::max<std::int64_t>(cap, 0))) {
    for (auto period : kAllTimePeriods) lastAddedHeartbeatDates[period] = distantPast();
}

void HeartbeatsBundle::append(const Heartbeat& heartbeat) {
    if (capacity <= 0) return;
    try {
        if (auto displaced = buffer.push(heartbeat)) {
            for (auto& [period, date] : lastAddedHeartbeatDates) {
                if (date == displaced->date) date = distantPast();
            }
        }
        for (auto period : heartbeat.timePeriods) lastAddedHeartbeatDates[period] = heartbeat.date;
    } catch (const RingBufferOutOfBoundsPush& error) {
        // A damaged ring starts again, holding one heartbeat that reports the damage in its agent.
        *this = HeartbeatsBundle(std::min(capacity, kMaxStoredCapacity));
        Heartbeat diagnostic{heartbeat.agent + " error/" + replaceAll(error.description(), ' ', '-'),
                             heartbeat.date, 0, heartbeat.timePeriods};
        try {
            buffer.push(diagnostic);
            for (auto period : diagnostic.timePeriods) lastAddedHeartbeatDates[period] = diagnostic.date;
        } catch (const RingBufferOutOfBoundsPush&) {
        }
    }
}

std::optional<Heartbeat> HeartbeatsBundle::takeHeartbeat(Date date) {
    std::optional<Heartbeat> taken;
    std::vector<Heartbeat> setAside;
    while (!buffer.circularQueue.empty()) {
        auto popped = buffer.pop();
        if (!popped) break;
        if (popped->date == date) {
            taken = std::move(popped);
            break;
        }
        setAside.push_back(std::move(*popped));
    }
    // Put back the newest first-popped last, so the order of age stays as it was.
    for (auto it = setAside.rbegin(); it != setAside.rend(); ++it) {
        if (!buffer.tailIsWithinSlots()) continue;
        buffer.circularQueue[static_cast<std::size_t>(buffer.tailIndex)] = std::move(*it);
        buffer.tailIndex = buffer.tailIndex + 1 == buffer.slotCount() ? 0 : buffer.tailIndex + 1;
    }
    return taken;
}

HeartbeatsPayload HeartbeatsBundle::makePayload() const {
    std::map<std::string, std::vector<Date>> datesByAgent;
    for (const auto& heartbeat : buffer.elements()) datesByAgent[heartbeat.agent].push_back(heartbeat.date);
    std::vector<UserAgentPayload> payloads;
    payloads.reserve(datesByAgent.size());
    for (auto& [agent, dates] : datesByAgent) payloads.push_back(UserAgentPayload{agent, std::move(dates)});
    return HeartbeatsPayload(std::move(payloads));
}

std::string HeartbeatsBundle::jsonText() const {
    json lastAdded = json::array();
    for (const auto& [period, date] : lastAddedHeartbeatDates) {
        lastAdded.push_back(static_cast<int>(period));
        lastAdded.push_back(referenceIntervalOf(date));
    }
    json queue = json::array();
    for (const auto& slot : buffer.circularQueue)
        queue.push_back(slot ? heartbeatToJSON(*slot) : json(nullptr));
    json object{{kCapacityKey, capacity},
                {kLastAddedKey, std::move(lastAdded)},
                {kBufferKey, json{{kCircularQueueKey, std::move(queue)}, {kTailIndexKey, buffer.tailIndex}}}};
    return dumpJSON(object);
}

std::optional<HeartbeatsBundle> HeartbeatsBundle::fromJSONText(std::string_view text) {
    auto document = parseBoundedJSON(text);
    if (!document || !document->is_object()) return std::nullopt;

    auto cap = integerValue(member(*document, kCapacityKey));
    const json* lastAdded = member(*document, kLastAddedKey);
    const json* bufferObject = member(*document, kBufferKey);
    if (!cap || *cap <= 0 || *cap > kMaxStoredCapacity) return std::nullopt;
    if (!lastAdded || !lastAdded->is_array() || lastAdded->size() % 2 != 0) return std::nullopt;
    if (!bufferObject || !bufferObject->is_object()) return std::nullopt;
    const json* queue = member(*bufferObject, kCircularQueueKey);
    auto tail = integerValue(member(*bufferObject, kTailIndexKey));
    if (!queue || !queue->is_array() || !tail) return std::nullopt;
    const auto slots = static_cast<std::int64_t>(queue->size());
    if (slots > kMaxStoredCapacity) return std::nullopt;
    if (slots == 0 ? *tail != 0 : (*tail < 0 || *tail >= slots)) return std::nullopt;

    HeartbeatsBundle bundle(0);
    bundle.capacity = *cap;
    bundle.lastAddedHeartbeatDates.clear();
    for (std::size_t i = 0; i < lastAdded->size(); i += 2) {
        auto period = periodValue(&(*lastAdded)[i]);
        auto date = dateValue(&(*lastAdded)[i + 1]);
        if (!period || !date) return std::nullopt;
        bundle.lastAddedHeartbeatDates[*period] = *date;
    }
    bundle.buffer.circularQueue.reserve(queue->size());
    for (const auto& slot : *queue) {
        if (slot.is_null()) {
            bundle.buffer.circularQueue.emplace_back();
            continue;
        }
        auto heartbeat = heartbeatFromJSON(slot);
        if (!heartbeat) return std::nullopt;
        bundle.buffer.circularQueue.emplace_back(std::move(*heartbeat));
    }
    bundle.buffer.tailIndex = *tail;
    return bundle;
}

}  // namespace brisko::core::internal
