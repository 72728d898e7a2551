// The activity sample's JSON form, written by hand so the bytes stay exactly what the service expects.
#include "app/recording/ActivityEntry.hpp"

#include <nlohmann/json.hpp>

#include "app/recording/JSONText.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app {

namespace {
constexpr std::int64_t kCodingKeyNotFound = 4865;
constexpr std::int64_t kCodingTypeMismatch = 4864;

[[noreturn]] void throwDecoding(std::int64_t code, const std::string& text) {
    throw platform::ErrorException(
        platform::Error(std::string(platform::kCocoaErrorDomain), code,
                        {{std::string(platform::kLocalizedDescriptionKey), text}}));
}

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end())
        throwDecoding(kCodingKeyNotFound, std::string("No value associated with key \"") + key + "\".");
    return *it;
}
}  // namespace

void ActivityEntry::appendJSON(std::string& out) const {
    out += "{\"timestamp\":";
    appendJSONString(out, timestamp);
    out += ",\"appName\":";
    appendJSONString(out, appName);
    out += ",\"idleSeconds\":";
    out += std::to_string(idleSeconds);
    out += isAwake ? ",\"isAwake\":true" : ",\"isAwake\":false";
    if (windowTitle) {
        out += ",\"windowTitle\":";
        appendJSONString(out, *windowTitle);
    }
    out += '}';
}

std::string ActivityEntry::toJSON() const {
    std::string out;
    appendJSON(out);
    return out;
}

ActivityEntry ActivityEntry::fromJSON(const nlohmann::json& object) {
    if (!object.is_object()) throwDecoding(kCodingTypeMismatch, "Expected to decode a dictionary.");
    ActivityEntry entry;
    const auto& timestamp = member(object, "timestamp");
    const auto& appName = member(object, "appName");
    const auto& idle = member(object, "idleSeconds");
    const auto& awake = member(object, "isAwake");
    if (!timestamp.is_string()) throwDecoding(kCodingTypeMismatch, "\"timestamp\" is not a string.");
    if (!appName.is_string()) throwDecoding(kCodingTypeMismatch, "\"appName\" is not a string.");
    if (!idle.is_number_integer()) throwDecoding(kCodingTypeMismatch, "\"idleSeconds\" is not an integer.");
    if (!awake.is_boolean()) throwDecoding(kCodingTypeMismatch, "\"isAwake\" is not a Boolean.");
    entry.timestamp = timestamp.get<std::string>();
    entry.appName = appName.get<std::string>();
    if (idle.is_number_unsigned() && idle.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        throwDecoding(kCodingTypeMismatch, "\"idleSeconds\" does not fit a 64-bit integer.");
    }
    entry.idleSeconds = idle.get<std::int64_t>();
    entry.isAwake = awake.get<bool>();
    if (auto it = object.find("windowTitle"); it != object.end() && !it->is_null()) {
        if (!it->is_string()) throwDecoding(kCodingTypeMismatch, "\"windowTitle\" is not a string.");
        entry.windowTitle = it->get<std::string>();
    }
    return entry;
}

}  // namespace brisko::app
