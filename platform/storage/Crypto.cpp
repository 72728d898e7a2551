// Random bytes and SHA-256 through OpenSSL 3; the text encodings by hand, with the platform's strictness.
#include "platform/storage/Crypto.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <climits>

#include "platform/base/Error.hpp"

namespace brisko::platform::crypto {
namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kBase64URLAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string encode(std::span<const std::uint8_t> bytes, std::string_view alphabet, bool padding) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t n = bytes[i] << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        if (padding) out += "==";
    } else if (rest == 2) {
        std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        if (padding) out += '=';
    }
    return out;
}

// Table from character to its 6-bit value, -1 for characters outside the alphabet.
std::array<int, 256> decodeTable(std::string_view alphabet) {
    std::array<int, 256> t{};
    t.fill(-1);
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
    return t;
}

// Decodes unpadded symbols (all in the alphabet); a remainder of one symbol is no encoding.
std::optional<Data> decodeSymbols(std::string_view symbols, const std::array<int, 256>& table) {
    if (symbols.size() % 4 == 1) return std::nullopt;
    Data out;
    out.reserve(symbols.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : symbols) {
        int v = table[static_cast<unsigned char>(c)];
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// Splits off trailing "=" padding; nothing when the padding is malformed. `required` asks for a padded
// length that is a multiple of 4.
std::optional<std::string_view> stripPadding(std::string_view text, bool required) {
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == '=') --end;
    std::size_t pads = text.size() - end;
    if (pads > 2) return std::nullopt;
    if (required && text.size() % 4 != 0) return std::nullopt;
    if (pads > 0 && text.size() % 4 != 0) return std::nullopt;
    return text.substr(0, end);
}

}  // namespace

Data randomBytes(std::size_t count) {
    Data out(count);
    if (count > 0 && (count > INT_MAX || RAND_bytes(out.data(), static_cast<int>(count)) != 1)) {
        fatal("No secure random source is available");
    }
    return out;
}

Data sha256(std::span<const std::uint8_t> bytes) {
    Data out(32);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != 32) {
        fatal("SHA-256 is unavailable in this OpenSSL");
    }
    return out;
}

Data sha256(std::string_view text) {
    return sha256(bytesOf(text));
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    return encode(bytes, kBase64Alphabet, true);
}
std::string base64Encode(std::string_view text) {
    return base64Encode(bytesOf(text));
}

std::optional<Data> base64Decode(std::string_view text, bool ignoreUnknownCharacters) {
    static const auto table = decodeTable(kBase64Alphabet);
    std::string filtered;
    if (ignoreUnknownCharacters) {
        filtered.reserve(text.size());
        for (char c : text) {
            if (c == '=' || table[static_cast<unsigned char>(c)] >= 0) filtered += c;
        }
        text = filtered;
    }
    auto symbols = stripPadding(text, true);
    if (!symbols) return std::nullopt;
    return decodeSymbols(*symbols, table);
}

std::string base64URLEncode(std::span<const std::uint8_t> bytes, bool padding) {
    return encode(bytes, kBase64URLAlphabet, padding);
}
std::string base64URLEncode(std::string_view text, bool padding) {
    return base64URLEncode(bytesOf(text), padding);
}

std::optional<Data> base64URLDecode(std::string_view text) {
    static const auto table = decodeTable(kBase64URLAlphabet);
    auto symbols = stripPadding(text, false);
    if (!symbols) return std::nullopt;
    return decodeSymbols(*symbols, table);
}

std::string hexEncode(std::span<const std::uint8_t> bytes, bool uppercase) {
    const char* digits = uppercase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::optional<Data> hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Data out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
    }
    return out;
}

std::string uuidString() {
    Data b = randomBytes(16);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string hex = hexEncode(b, true);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
           "-" + hex.substr(20);
}

}  // namespace brisko::platform::crypto
