// Reading and writing HTTP dates without the C library's locale-dependent parsers.
#include "fetcher/HTTPDate.hpp"

#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace brisko::fetcher {

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                      "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<std::string_view, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// RFC 6265 delimiters: everything that is not a digit, a letter or one of ":" in date tokens.
bool isDelimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

// Leading 1..maxDigits digits; the rest of the token must not start with another digit.
std::optional<int> leadingNumber(std::string_view token, std::size_t minDigits, std::size_t maxDigits,
                                 std::size_t* used = nullptr) {
    std::size_t n = 0;
    int value = 0;
    while (n < token.size() && std::isdigit(static_cast<unsigned char>(token[n]))) {
        if (n == maxDigits) return std::nullopt;
        value = value * 10 + (token[n] - '0');
        ++n;
    }
    if (n < minDigits) return std::nullopt;
    if (used) *used = n;
    return value;
}

bool parseTime(std::string_view token, int& h, int& m, int& s) {
    int parts[3];
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t used = 0;
        auto v = leadingNumber(token.substr(pos), 1, 2, &used);
        if (!v) return false;
        parts[i] = *v;
        pos += used;
        if (i < 2) {
            if (pos >= token.size() || token[pos] != ':') return false;
            ++pos;
        }
    }
    h = parts[0];
    m = parts[1];
    s = parts[2];
    return true;
}

}  // namespace

std::optional<platform::Date> parseHTTPDate(std::string_view text) {
    bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
        std::size_t start = i;
        while (i < text.size() && !isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
        std::string_view token = text.substr(start, i - start);
        if (token.empty()) continue;
        int h, m, s;
        if (!foundTime && parseTime(token, h, m, s)) {
            foundTime = true;
            hour = h;
            minute = m;
            second = s;
            continue;
        }
        if (!foundDay) {
            if (auto d = leadingNumber(token, 1, 2)) {
                foundDay = true;
                day = *d;
                continue;
            }
        }
        if (!foundMonth && token.size() >= 3) {
            std::string lower;
            for (char c : token.substr(0, 3))
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            bool matched = false;
            for (std::size_t k = 0; k < kMonths.size(); ++k) {
                if (lower == kMonths[k]) {
                    foundMonth = true;
                    month = static_cast<int>(k) + 1;
                    matched = true;
                    break;
                }
            }
            if (matched) continue;
        }
        if (!foundYear) {
            if (auto y = leadingNumber(token, 2, 4)) {
                foundYear = true;
                year = *y;
                continue;
            }
        }
    }
    if (foundYear && year >= 70 && year <= 99) year += 1900;
    if (foundYear && year >= 0 && year <= 69) year += 2000;
    if (!foundTime || !foundDay || !foundMonth || !foundYear) return std::nullopt;
    if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    using namespace std::chrono;
    year_month_day ymd{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                       std::chrono::day(static_cast<unsigned>(day))};
    if (!ymd.ok()) return std::nullopt;
    auto tp = sys_days(ymd) + hours(hour) + minutes(minute) + seconds(second);
    return time_point_cast<platform::Date::duration>(tp);
}

std::string formatHTTPDate(platform::Date date) {
    using namespace std::chrono;
    auto secs = floor<seconds>(date);
    auto days = floor<std::chrono::days>(secs);
    year_month_day ymd{days};
    hh_mm_ss hms{secs - days};
    weekday wd{days};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02u %c%s %04d %02d:%02d:%02d GMT", kWeekdays[wd.c_encoding()].data(),
                  static_cast<unsigned>(ymd.day()),
                  static_cast<char>(std::toupper(kMonths[static_cast<unsigned>(ymd.month()) - 1][0])),
                  kMonths[static_cast<unsigned>(ymd.month()) - 1].substr(1).data(),
                  static_cast<int>(ymd.year()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
    return buf;
}

}  // namespace brisko::fetcher
