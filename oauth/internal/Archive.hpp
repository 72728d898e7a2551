// Archive helpers shared by the OAuth client's records: optional texts, URLs (archived as their text),
// text maps and nested records.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "oauth/OAuthTypes.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::oauth::detail {

inline void encodeText(platform::KeyedArchiver& coder, const std::optional<std::string>& text, std::string_view key) {
    if (text) coder.encodeObject(Value(*text), key);
}
inline std::optional<std::string> decodeText(platform::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeObjectOfClass<std::string>(key);
}

inline void encodeURL(platform::KeyedArchiver& coder, const std::optional<URL>& url, std::string_view key) {
    if (url) coder.encodeObject(Value(url->absoluteString()), key);
}
inline std::optional<URL> decodeURL(platform::KeyedUnarchiver& coder, std::string_view key) {
    auto text = coder.decodeObjectOfClass<std::string>(key);
    return text ? URL::parse(*text) : std::nullopt;
}

inline void encodeStringMap(platform::KeyedArchiver& coder, const StringMap& map, std::string_view key) {
    Dictionary dictionary;
    for (const auto& [name, value] : map) dictionary.emplace(name, value);
    coder.encodeObject(Value(std::move(dictionary)), key);
}
// Members that are not texts are dropped.
inline StringMap decodeStringMap(platform::KeyedUnarchiver& coder, std::string_view key) {
    StringMap map;
    Value value = coder.decodeObjectOfClasses(platform::archiveClasses<Dictionary, std::string>(), key);
    if (const auto* dictionary = value.dictionary()) {
        for (const auto& [name, member] : *dictionary) {
            if (member.string()) map.emplace(name, *member.string());
        }
    }
    return map;
}

// A map of JSON values (maps, lists, texts, numbers); empty when missing.
inline Dictionary decodeJSONDictionary(platform::KeyedUnarchiver& coder, std::string_view key) {
    Value value = coder.decodeObjectOfClasses(
        platform::archiveClasses<Dictionary, platform::Array, std::string, platform::ArchiveNumber>(), key);
    if (const auto* d = value.dictionary()) return *d;
    return {};
}

// A nested record held as shared_ptr<const T>.
template <class T>
void encodeRecord(platform::KeyedArchiver& coder, const std::shared_ptr<const T>& record, std::string_view key) {
    coder.encodeObject(std::const_pointer_cast<T>(record), key);
}
template <class T>
std::shared_ptr<const T> decodeRecord(platform::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeObjectOfClass<T>(key);
}

}  // namespace brisko::oauth::detail
