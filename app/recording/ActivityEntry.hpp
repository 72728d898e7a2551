// One activity sample: when, which application and window, idle seconds and whether the machine was awake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace brisko::app {

struct ActivityEntry {
    std::string timestamp;                   // ISO-8601 in UTC, whole seconds: 2025-03-09T14:05:30Z
    std::string appName;                     // the frontmost application's name
    std::int64_t idleSeconds = 0;            // whole seconds since the last input
    bool isAwake = true;                     // false for samples taken asleep
    std::optional<std::string> windowTitle;  // the focused window's title; the key is left out when none

    bool operator==(const ActivityEntry&) const = default;

    // Appends the entry's JSON object: keys timestamp, appName, idleSeconds, isAwake[, windowTitle].
    void appendJSON(std::string& out) const;
    std::string toJSON() const;

    // Reads an entry: "timestamp", "appName" (text), "idleSeconds" (integer) and "isAwake" (Boolean) are
    // required, "windowTitle" may be missing or null, other keys are ignored. Throws
    // platform::ErrorException (NSCocoaErrorDomain, 4865 for a missing key, 4864 for a wrong type).
    static ActivityEntry fromJSON(const nlohmann::json& object);
};

}  // namespace brisko::app
