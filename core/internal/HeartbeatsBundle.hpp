// The stored record of recent heartbeats: a fixed ring and, per period, the newest heartbeat's date.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/internal/Heartbeat.hpp"
#include "core/internal/HeartbeatsPayload.hpp"
#include "core/internal/RingBuffer.hpp"

namespace brisko::core::internal {

// A value that a flush turns into a payload.
class HeartbeatsPayloadConvertible {
  public:
    virtual ~HeartbeatsPayloadConvertible() = default;
    virtual HeartbeatsPayload makePayload() const = 0;
};

struct HeartbeatsBundle final : HeartbeatsPayloadConvertible {
    // The largest ring a stored file may describe; anything larger is damage, not data.
    static constexpr std::int64_t kMaxStoredCapacity = 1024;

    std::int64_t capacity = 0;
    std::map<TimePeriod, Date> lastAddedHeartbeatDates;
    RingBuffer<Heartbeat> buffer;

    // A bundle of that capacity: an empty ring of that many slots, every period last added "never".
    explicit HeartbeatsBundle(std::int64_t capacity);

    // Records the heartbeat; a damaged ring is reset and records a diagnostic heartbeat instead.
    void append(const Heartbeat& heartbeat);
    // Takes out the heartbeat of that date, keeping the others in their order of age.
    std::optional<Heartbeat> takeHeartbeat(Date date);
    HeartbeatsPayload makePayload() const override;

    // The heartbeat file's JSON form.
    std::string jsonText() const;
    // Reads the heartbeat file's JSON form. Anything malformed or out of range (types, periods, a
    // capacity or ring beyond kMaxStoredCapacity, a tail outside the ring, dates outside years 1-9999)
    // gives nothing, so a damaged file counts as no file.
    static std::optional<HeartbeatsBundle> fromJSONText(std::string_view text);

    bool operator==(const HeartbeatsBundle& other) const {
        return capacity == other.capacity && lastAddedHeartbeatDates == other.lastAddedHeartbeatDates &&
               buffer == other.buffer;
    }
};

}  // namespace brisko::core::internal
