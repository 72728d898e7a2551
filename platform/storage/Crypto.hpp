// Secure random bytes, SHA-256, base64 and base64url, hex and UUID text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform::crypto {

// Bytes from the system's secure random source. The process stops when none is available (there is no
// safe way to go on without one).
Data randomBytes(std::size_t count);

// The 32-byte SHA-256 digest.
Data sha256(std::span<const std::uint8_t> bytes);
Data sha256(std::string_view text);

// Standard base64 (RFC 4648 section 4) with "=" padding and no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view text);
// Strict like the platform's decoder: padded to a multiple of 4, only the base64 alphabet. With
// `ignoreUnknownCharacters` every character outside the alphabet (white space included) is skipped first.
// Nothing for text that is not base64.
std::optional<Data> base64Decode(std::string_view text, bool ignoreUnknownCharacters = false);

// base64url (RFC 4648 section 5): "-" and "_" in place of "+" and "/"; no padding unless asked.
std::string base64URLEncode(std::span<const std::uint8_t> bytes, bool padding = false);
std::string base64URLEncode(std::string_view text, bool padding = false);
// Accepts the text with or without its "=" padding; nothing for any other character or a length no
// encoder produces.
std::optional<Data> base64URLDecode(std::string_view text);

// Lowercase hex unless asked; decoding takes either case and needs an even length.
std::string hexEncode(std::span<const std::uint8_t> bytes, bool uppercase = false);
std::optional<Data> hexDecode(std::string_view text);

// A new random (version 4) UUID as the platform writes it: uppercase, "8-4-4-4-12".
std::string uuidString();

}  // namespace brisko::platform::crypto
