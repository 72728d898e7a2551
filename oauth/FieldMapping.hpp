// One mechanism that parses OAuth replies: a per-class table from a parameter name to the field it fills,
// with an optional conversion; whatever the table does not take is kept as additional parameters.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "oauth/OAuthTypes.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::oauth {

// The value kinds a mapped field can hold, as they travel inside a Value: a text, a date, a URL
// (Value::object of a const URL) or a list of texts.
using URLValue = std::shared_ptr<const URL>;
Value makeURLValue(const URL& url);
std::optional<URL> URLFromValue(const Value& value);

// Conversions, each returning a null Value for "absent".
using FieldConversion = std::function<Value(const Value&)>;

template <class T> class FieldMapping {
public:
    // The field the mapping fills; its type is the expected type of the (converted) value.
    using Field = std::variant<std::optional<std::string> T::*, std::optional<Date> T::*, std::optional<URL> T::*,
                               std::optional<std::vector<std::string>> T::*>;

    FieldMapping(std::string name, Field field, FieldConversion conversion = nullptr)
        : name_(std::move(name)), field_(field), conversion_(std::move(conversion)) {}

    const std::string& name() const { return name_; }
    const Field& field() const { return field_; }
    const FieldConversion& conversion() const { return conversion_; }

private:
    std::string name_;
    Field field_;
    FieldConversion conversion_;
};

// Parameter name to mapping; each class builds its map once for the process.
template <class T> using FieldMap = std::map<std::string, FieldMapping<T>, std::less<>>;

struct FieldMappingConversions {
    // A text becomes a URL (absent when it is not one); other values are unchanged.
    static Value URLConversion(const Value& value);
    // A number becomes the date that many (whole) seconds after now.
    static Value dateSinceNowConversion(const Value& value);
    // A number becomes the date that many (whole) seconds after 1970-01-01 UTC.
    static Value dateEpochConversion(const Value& value);
    // The classes allowed when decoding additional parameters: map, list, text, number.
    static platform::ArchiveClassList JSONTypes();
};

namespace detail {
bool storeField(std::optional<std::string>& field, const Value& value);
// A text moved into the field (the value is left as it was when it is not a text).
bool storeField(std::optional<std::string>& field, Value&& value);
bool storeField(std::optional<Date>& field, const Value& value);
bool storeField(std::optional<URL>& field, const Value& value);
bool storeField(std::optional<std::vector<std::string>>& field, const Value& value);
void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<std::string>& field);
void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<Date>& field);
void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<URL>& field);
void encodeField(platform::KeyedArchiver& coder, std::string_view key,
                 const std::optional<std::vector<std::string>>& field);
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<std::string>& field);
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<Date>& field);
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<URL>& field);
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key,
                 std::optional<std::vector<std::string>>& field);
}  // namespace detail

namespace detail {
// remainingParametersWithMap for parameters read (const) or handed over (an rvalue, whose values then
// move into the fields and the remaining parameters).
template <class T, class Parameters>
Dictionary remainingParameters(const FieldMap<T>& map, Parameters&& parameters, T& instance) {
    constexpr bool moving = !std::is_lvalue_reference_v<Parameters>;
    auto pass = [](auto& value) -> decltype(auto) {
        if constexpr (moving) {
            return std::move(value);
        } else {
            return std::as_const(value);
        }
    };
    Dictionary remaining;
    for (auto& [name, value] : parameters) {
        auto it = map.find(name);
        if (it == map.end()) {
            // In name order, as the parameters come: each goes at the end.
            remaining.emplace_hint(remaining.end(), name, pass(value));
            continue;
        }
        const auto& mapping = it->second;
        // Only a converted value is a new one; the others are stored from the parameters as they are.
        std::optional<Value> converted;
        if (mapping.conversion()) converted = mapping.conversion()(value);
        auto& stored = converted ? *converted : value;
        bool taken = std::visit([&](auto member) { return detail::storeField(instance.*member, pass(stored)); },
                                mapping.field());
        if (taken || stored.isNull()) continue;
        if (converted) {
            remaining.emplace_hint(remaining.end(), name, std::move(*converted));
        } else {
            remaining.emplace_hint(remaining.end(), name, pass(value));
        }
    }
    return remaining;
}
}  // namespace detail

// Fills the instance's mapped fields from the parameters and answers the parameters not taken: a name
// without mapping, or a value that is not of the field's type after conversion (kept converted; an
// absent converted value leaves no entry).
template <class T>
Dictionary remainingParametersWithMap(const FieldMap<T>& map, const Dictionary& parameters, T& instance) {
    return detail::remainingParameters(map, parameters, instance);
}
// The same from parameters handed over: their texts move instead of being copied.
template <class T>
Dictionary remainingParametersWithMap(const FieldMap<T>& map, Dictionary&& parameters, T& instance) {
    return detail::remainingParameters(map, std::move(parameters), instance);
}

// Writes every mapped field under its parameter name.
template <class T> void encodeWithCoder(platform::KeyedArchiver& coder, const FieldMap<T>& map, const T& instance) {
    for (const auto& [name, mapping] : map) {
        std::visit([&](auto member) { detail::encodeField(coder, name, instance.*member); }, mapping.field());
    }
}

// Reads every mapped field, allowing only its own type (absent when missing or of another type).
template <class T> void decodeWithCoder(platform::KeyedUnarchiver& coder, const FieldMap<T>& map, T& instance) {
    for (const auto& [name, mapping] : map) {
        std::visit([&](auto member) { detail::decodeField(coder, name, instance.*member); }, mapping.field());
    }
}

}  // namespace brisko::oauth
