// Small helpers the credential and multi-factor archives share: optional texts in and out.
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

inline std::optional<std::string> decodeText(platform::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeObjectOfClass<std::string>(key);
}

}  // namespace brisko::auth::coding
