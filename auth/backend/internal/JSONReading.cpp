// Lenient readers of identity replies.
#include "auth/backend/internal/JSONReading.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/base/Clock.hpp"

namespace brisko::auth::detail {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the decimal number at the start of `text` (sign, digits, fraction, exponent), 0 for none.
std::size_t decimalPrefixLength(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        std::size_t j = i + 1, fraction = 0;
        while (j < text.size() && isDigit(text[j])) ++j, ++fraction;
        if (digits + fraction > 0) {
            i = j;
            digits += fraction;
        }
    }
    if (digits == 0) return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        std::size_t expDigits = 0;
        while (j < text.size() && isDigit(text[j])) ++j, ++expDigits;
        if (expDigits > 0) i = j;
    }
    return i;
}

// About 95 years: far beyond any token lifetime, and added to the current time still well inside what
// a date (nanoseconds in 64 bits, about 292 years either side of 1970) can hold.
constexpr double kMaxSeconds = 3e9;
// The widest timestamp a date can hold, with a margin.
constexpr double kMaxTimestampSeconds = 9e9;

}  // namespace

const JSON* member(const JSON& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> readText(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

bool readBoolean(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    return v && v->is_boolean() && v->get<bool>();
}

std::int64_t readInteger(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v) return 0;
    if (v->is_number_integer()) return v->get<std::int64_t>();
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(u);
    }
    if (v->is_number_float()) {
        double d = v->get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
    }
    return 0;
}

double leadingDecimalValue(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\n' ||
                                   text[start] == '\r' || text[start] == '\f' || text[start] == '\v'))
        ++start;
    std::string_view rest = text.substr(start);
    std::size_t n = decimalPrefixLength(rest);
    if (n == 0) return 0;
    double value = std::strtod(std::string(rest.substr(0, n)).c_str(), nullptr);
    if (!std::isfinite(value)) return value > 0 ? kMaxSeconds : -kMaxSeconds;
    return value;
}

platform::Date dateAfterSeconds(double seconds) {
    if (!std::isfinite(seconds)) seconds = seconds > 0 ? kMaxSeconds : -kMaxSeconds;
    seconds = std::clamp(seconds, -kMaxSeconds, kMaxSeconds);
    return platform::now() +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds));
}

std::optional<platform::Date> readExpiresIn(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return dateAfterSeconds(leadingDecimalValue(v->get_ref<const std::string&>()));
}

bool isWholeDecimalNumber(std::string_view text) {
    return !text.empty() && decimalPrefixLength(text) == text.size();
}

std::optional<platform::Date> readMillisecondsTimestamp(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    const auto& text = v->get_ref<const std::string&>();
    if (!isWholeDecimalNumber(text)) return std::nullopt;
    double ms = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(ms)) return std::nullopt;
    double seconds = std::clamp(ms / 1000.0, -kMaxTimestampSeconds, kMaxTimestampSeconds);
    return platform::Date(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
}

std::optional<platform::Date> readEnrollmentDate(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return platform::parseDate(v->get_ref<const std::string&>(), "yyyy-MM-dd'T'HH:mm:ss.SSSZ", platform::TimeZone::utc);
}

std::optional<platform::URL> readURL(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return platform::URL::parse(v->get_ref<const std::string&>());
}

std::optional<std::vector<std::string>> readTextArray(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(v->size());
    for (const auto& e : *v) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}

const JSON* readObjectArray(const JSON& object, std::string_view key) {
    const JSON* v = member(object, key);
    if (!v || !v->is_array()) return nullptr;
    for (const auto& e : *v) {
        if (!e.is_object()) return nullptr;
    }
    return v;
}

}  // namespace brisko::auth::detail
