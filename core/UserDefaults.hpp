// A checked wrapper over the platform's user defaults (standard or a suite): refuses empty keys and
// values that are not property-list types, with a warning instead of storing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {
class UserDefaults;
}

namespace brisko::core {

inline constexpr std::string_view kUserDefaultsGetCategory = "<EzevarUtilities>";
inline constexpr std::string_view kUserDefaultsSetCategory = "[EzevarUtilities/UserDefaults]";

class UserDefaults {
  public:
    // The shared wrapper over the standard user defaults.
    static const std::shared_ptr<UserDefaults>& standardUserDefaults();

    // A suite; no name or an empty one means the standard defaults.
    explicit UserDefaults(const std::optional<std::string>& suiteName = std::nullopt);
    explicit UserDefaults(std::shared_ptr<platform::UserDefaults> userDefaults)
        : userDefaults_(std::move(userDefaults)) {}

    std::optional<platform::Value> objectForKey(std::string_view key) const;
    // Stores text, numbers, arrays, dictionaries, dates and data; nothing (or a null value) removes.
    void setObject(const std::optional<platform::Value>& object, std::string_view key);
    void removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

    // The stored number as that kind; 0 or false when absent or not a number.
    std::int64_t integerForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;
    // The stored value of that kind; nothing for a value of another kind.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<platform::Array> arrayForKey(std::string_view key) const;
    std::optional<platform::Dictionary> dictionaryForKey(std::string_view key) const;

    void setInteger(std::int64_t value, std::string_view key) { setObject(platform::Value(value), key); }
    void setFloat(float value, std::string_view key) {
        setObject(platform::Value(static_cast<double>(value)), key);
    }
    void setDouble(double value, std::string_view key) { setObject(platform::Value(value), key); }
    void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }

    const std::shared_ptr<platform::UserDefaults>& userDefaults() const { return userDefaults_; }

  private:
    std::shared_ptr<platform::UserDefaults> userDefaults_;
};

}  // namespace brisko::core
