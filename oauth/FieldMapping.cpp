// Conversions and the typed storing, encoding and decoding of mapped fields.
#include "oauth/FieldMapping.hpp"

#include <cmath>

#include "platform/base/Clock.hpp"

namespace brisko::oauth {

Value makeURLValue(const URL& url) { return Value::object(std::make_shared<const URL>(url)); }

std::optional<URL> URLFromValue(const Value& value) {
    if (auto url = value.object<const URL>()) return *url;
    return std::nullopt;
}

Value FieldMappingConversions::URLConversion(const Value& value) {
    const auto* text = value.string();
    if (!text) return value;
    auto url = URL::parse(*text);
    return url ? makeURLValue(*url) : Value();
}

namespace {
std::optional<std::int64_t> wholeSeconds(const Value& value) {
    if (value.boolean() && !value.integer()) return std::nullopt;
    if (auto i = value.integer()) return *i;
    if (auto d = value.number(); d && std::isfinite(*d) && std::fabs(*d) < 1e15) return static_cast<std::int64_t>(*d);
    return std::nullopt;
}
}  // namespace

Value FieldMappingConversions::dateSinceNowConversion(const Value& value) {
    auto seconds = wholeSeconds(value);
    if (!seconds || value.type() == Value::Type::boolean) return value;
    return Value(platform::now() + std::chrono::seconds(*seconds));
}

Value FieldMappingConversions::dateEpochConversion(const Value& value) {
    auto seconds = wholeSeconds(value);
    if (!seconds || value.type() == Value::Type::boolean) return value;
    return Value(Date(std::chrono::seconds(*seconds)));
}

platform::ArchiveClassList FieldMappingConversions::JSONTypes() {
    return platform::archiveClasses<Dictionary, platform::Array, std::string, platform::ArchiveNumber>();
}

namespace detail {

bool storeField(std::optional<std::string>& field, const Value& value) {
    if (!value.string()) return false;
    field = *value.string();
    return true;
}
bool storeField(std::optional<std::string>& field, Value&& value) {
    auto* text = value.string();
    if (!text) return false;
    field = std::move(*text);
    return true;
}
bool storeField(std::optional<Date>& field, const Value& value) {
    if (value.type() != Value::Type::date) return false;
    field = value.date();
    return true;
}
bool storeField(std::optional<URL>& field, const Value& value) {
    auto url = URLFromValue(value);
    if (!url) return false;
    field = std::move(url);
    return true;
}
bool storeField(std::optional<std::vector<std::string>>& field, const Value& value) {
    const auto* list = value.array();
    if (!list) return false;
    std::vector<std::string> texts;
    for (const auto& item : *list) {
        if (!item.string()) return false;
        texts.push_back(*item.string());
    }
    field = std::move(texts);
    return true;
}

void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<std::string>& field) {
    if (field) coder.encodeObject(Value(*field), key);
}
void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<Date>& field) {
    if (field) coder.encodeObject(Value(*field), key);
}
// URLs are archived as their text.
void encodeField(platform::KeyedArchiver& coder, std::string_view key, const std::optional<URL>& field) {
    if (field) coder.encodeObject(Value(field->absoluteString()), key);
}
void encodeField(platform::KeyedArchiver& coder, std::string_view key,
                 const std::optional<std::vector<std::string>>& field) {
    if (field) coder.encodeObject(Value(Value::Array(field->begin(), field->end())), key);
}

void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<std::string>& field) {
    field = coder.decodeObjectOfClass<std::string>(key);
}
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<Date>& field) {
    field = coder.decodeObjectOfClass<Date>(key);
}
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key, std::optional<URL>& field) {
    auto text = coder.decodeObjectOfClass<std::string>(key);
    field = text ? URL::parse(*text) : std::nullopt;
}
void decodeField(platform::KeyedUnarchiver& coder, std::string_view key,
                 std::optional<std::vector<std::string>>& field) {
    field.reset();
    Value list = coder.decodeObjectOfClasses(platform::archiveClasses<platform::Array, std::string>(), key);
    storeField(field, list);
}

}  // namespace detail
}  // namespace brisko::oauth
