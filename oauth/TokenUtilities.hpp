// Random values, base64url, SHA-256, redaction of tokens and form encoding of client credentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

class TokenUtilities {
  public:
    // Standard base64 with "-" for "+", "_" for "/" and no "=" padding.
    static std::string encodeBase64urlNoPadding(std::span<const std::uint8_t> data);
    // `size` bytes of the secure random source, encoded as above; nothing when the source fails.
    static std::optional<std::string> randomURLSafeStringWithSize(std::size_t size);
    // The SHA-256 digest of the text's UTF-8 bytes.
    static Data sha256(std::string_view string);
    // Empty stays empty; 1 to 8 characters become "[redacted]"; longer ones keep their first 6 characters
    // followed by "...[redacted]" (characters counted in UTF-16 units).
    static std::string redact(std::string_view string);
    static std::string redact(const std::string& string) { return redact(std::string_view(string)); }
    static std::string redact(const char* string) { return redact(std::string_view(string)); }
    static std::optional<std::string> redact(const std::optional<std::string>& string);
    // application/x-www-form-urlencoded for HTTP Basic client credentials (RFC 6749 section 2.3.1).
    static std::string formUrlEncode(std::string_view string);

    // The secure random source: fills the bytes and answers true, or answers false when it cannot.
    using RandomSource = std::function<bool(std::span<std::uint8_t>)>;
    // Replaces the system's source (tests use it to make the source fail); nullptr restores it.
    static void setRandomSource(RandomSource source);
};

}  // namespace brisko::oauth
