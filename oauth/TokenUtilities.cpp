// Random values, base64url, SHA-256, redaction and form encoding.
#include "oauth/TokenUtilities.hpp"

#include <mutex>

#include <openssl/rand.h>

#include "platform/net/URL.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::oauth {
namespace {

std::mutex& randomMutex() {
    static std::mutex m;
    return m;
}
TokenUtilities::RandomSource& randomSource() {
    static TokenUtilities::RandomSource source;
    return source;
}

bool systemRandom(std::span<std::uint8_t> bytes) {
    return bytes.empty() || RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}

// Characters form encoding leaves as they are (a space is turned into "+" afterwards).
const platform::CharacterSet& formAllowedCharacters() {
    static const platform::CharacterSet set(
        " *-._0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    return set;
}

}  // namespace

std::string TokenUtilities::encodeBase64urlNoPadding(std::span<const std::uint8_t> data) {
    return platform::crypto::base64URLEncode(data, false);
}

std::optional<std::string> TokenUtilities::randomURLSafeStringWithSize(std::size_t size) {
    Data bytes(size);
    bool ok;
    {
        std::lock_guard lock(randomMutex());
        ok = randomSource() ? randomSource()(bytes) : systemRandom(bytes);
    }
    if (!ok) return std::nullopt;
    return encodeBase64urlNoPadding(bytes);
}

void TokenUtilities::setRandomSource(RandomSource source) {
    std::lock_guard lock(randomMutex());
    randomSource() = std::move(source);
}

Data TokenUtilities::sha256(std::string_view string) { return platform::crypto::sha256(string); }

std::string TokenUtilities::redact(std::string_view string) {
    if (string.empty()) return {};
    // Count UTF-16 units: one per UTF-8 lead byte, two for 4-byte sequences.
    std::size_t units = 0;
    std::size_t sixUnitsEnd = string.size();
    for (std::size_t i = 0; i < string.size(); ++i) {
        auto c = static_cast<unsigned char>(string[i]);
        if ((c & 0xC0) == 0x80) continue;
        if (units >= 6 && sixUnitsEnd == string.size()) sixUnitsEnd = i;
        units += (c >= 0xF0) ? 2 : 1;
    }
    if (units <= 8) return "[redacted]";
    return std::string(string.substr(0, sixUnitsEnd)) + "...[redacted]";
}

std::optional<std::string> TokenUtilities::redact(const std::optional<std::string>& string) {
    if (!string) return std::nullopt;
    return redact(std::string_view(*string));
}

std::string TokenUtilities::formUrlEncode(std::string_view string) {
    std::string encoded = platform::percentEncode(string, formAllowedCharacters());
    for (auto& c : encoded) {
        if (c == ' ') c = '+';
    }
    return encoded;
}

}  // namespace brisko::oauth
