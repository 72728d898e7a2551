// Text helpers: the system's printf-style message formatting and UTF-8 handling at every boundary.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace brisko::platform {

class Error;

// One argument of `format`: text for %@ and %s, signed or unsigned integers, or a real.
class FormatArg {
public:
    FormatArg(std::string_view s) : v_(std::string(s)) {}
    FormatArg(const std::string& s) : v_(s) {}
    FormatArg(const char* s) : v_(std::string(s ? s : "(null)")) {}
    FormatArg(const Error& e);
    template <class I>
        requires(std::is_integral_v<I> && std::is_signed_v<I> && !std::is_same_v<I, bool>)
    FormatArg(I i) : v_(static_cast<std::int64_t>(i)) {}
    template <class I>
        requires(std::is_integral_v<I> && std::is_unsigned_v<I> && !std::is_same_v<I, bool>)
    FormatArg(I i) : v_(static_cast<std::uint64_t>(i)) {}
    FormatArg(bool b) : v_(static_cast<std::int64_t>(b)) {}
    FormatArg(double d) : v_(d) {}
    const auto& value() const { return v_; }

private:
    std::variant<std::string, std::int64_t, std::uint64_t, double> v_;
};

// Formats the system's message texts: %@ %s %d %i %ld %lld %u %lu %llu %x %X %f %g %c %% with flags,
// width and precision (%02d, %06ld, %.2f). A missing argument formats as "(null)" or 0.
std::string format(std::string_view fmt, std::initializer_list<FormatArg> args);

// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view s);
// The text with each ill-formed UTF-8 sequence replaced by U+FFFD; valid text comes back unchanged.
std::string sanitizeUTF8(std::string_view s);
// Trims Unicode white space and newlines (U+0009-000D, U+0020, U+0085, U+00A0, U+1680, U+2000-200A,
// U+2028, U+2029, U+202F, U+205F, U+3000) from both ends. Ill-formed input is sanitised first.
std::string trimWhitespaceAndNewlines(std::string_view s);
// ASCII case folding, for header names and schemes.
std::string asciiLowercase(std::string_view s);
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);

}  // namespace brisko::platform
