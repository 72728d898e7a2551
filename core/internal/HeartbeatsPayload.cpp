// The payload's JSON with day strings and its compressed, base64url header value.
#include "core/internal/HeartbeatsPayload.hpp"

#include "core/Gzip.hpp"
#include "core/internal/BoundedJSON.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::core::internal {
namespace {

using nlohmann::json;

constexpr std::string_view kHeartbeatsKey = "heartbeats";
constexpr std::string_view kVersionKey = "version";
constexpr std::string_view kAgentKey = "agent";
constexpr std::string_view kDatesKey = "dates";

}  // namespace

const HeartbeatsPayload& HeartbeatsPayload::empty() {
    static const HeartbeatsPayload kEmpty;
    return kEmpty;
}

std::string HeartbeatsPayload::jsonText() const {
    json heartbeats = json::array();
    for (const auto& payload : userAgentPayloads) {
        json dates = json::array();
        for (const auto& date : payload.dates) dates.push_back(utcDayString(date));
        heartbeats.push_back(json{{kAgentKey, payload.agent}, {kDatesKey, std::move(dates)}});
    }
    return dumpJSON(json{{kHeartbeatsKey, std::move(heartbeats)}, {kVersionKey, version}});
}

std::optional<HeartbeatsPayload> HeartbeatsPayload::fromJSONText(std::string_view text) {
    auto document = parseBoundedJSON(text);
    if (!document || !document->is_object()) return std::nullopt;
    auto heartbeats = document->find(kHeartbeatsKey);
    auto version = document->find(kVersionKey);
    if (heartbeats == document->end() || !heartbeats->is_array() || version == document->end() ||
        !version->is_number_integer()) {
        return std::nullopt;
    }
    HeartbeatsPayload payload({}, version->get<std::int64_t>());
    for (const auto& entry : *heartbeats) {
        if (!entry.is_object()) return std::nullopt;
        auto agent = entry.find(kAgentKey);
        auto dates = entry.find(kDatesKey);
        if (agent == entry.end() || !agent->is_string() || dates == entry.end() || !dates->is_array()) {
            return std::nullopt;
        }
        UserAgentPayload userAgent{agent->get<std::string>(), {}};
        for (const auto& day : *dates) {
            if (!day.is_string()) return std::nullopt;
            auto parsed = platform::parseDate(day.get<std::string>(), "yyyy-MM-dd", platform::TimeZone::utc);
            if (!parsed) return std::nullopt;
            userAgent.dates.push_back(toHeartbeatDate(*parsed));
        }
        payload.userAgentPayloads.push_back(std::move(userAgent));
    }
    return payload;
}

std::string HeartbeatsPayload::headerValue() const {
    const std::string text = jsonText();
    platform::Data bytes(text.begin(), text.end());
    if (auto compressed = zipped(bytes)) bytes = std::move(*compressed);
    return base64URLEncodedString(bytes);
}

std::string base64URLEncodedString(const platform::Data& data) {
    return platform::crypto::base64URLEncode(data, /*padding=*/false);
}

std::optional<platform::Data> dataFromBase64URLEncoded(std::string_view text) {
    return platform::crypto::base64URLDecode(text);
}

std::optional<platform::Data> zipped(const platform::Data& data) {
    return dataByGzippingData(data);
}
std::optional<platform::Data> unzipped(const platform::Data& data) {
    return dataByInflatingGzippedData(data);
}

}  // namespace brisko::core::internal
