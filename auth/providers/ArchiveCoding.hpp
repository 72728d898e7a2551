// Small helpers the credential and multi-factor archives share: optional values in and out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth::coding {

// Writes the text under the key; an absent text writes nothing.
inline void encodeText(platform::KeyedArchiver& coder, const std::optional<std::string>& text, std::string_view key) {
    if (text) coder.encodeObject(platform::Value(*text), key);
}

// The value under the key when it is stored as T; nothing for a missing entry or one of another class.
// An entry of another class is left alone, so it can't fail the rest of the archive.
template <class T> auto decodeIf(platform::KeyedUnarchiver& coder, std::string_view key) {
    using Result = decltype(coder.decodeObjectOfClass<T>(key));
    if (coder.classNameForKey(key) != platform::ArchiveClassTraits<T>::name()) return Result{};
    return coder.decodeObjectOfClass<T>(key);
}

inline std::optional<std::string> decodeText(platform::KeyedUnarchiver& coder, std::string_view key) {
    return decodeIf<std::string>(coder, key);
}

}  // namespace brisko::auth::coding
