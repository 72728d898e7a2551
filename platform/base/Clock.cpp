// The process clock and fixed-pattern date texts, always in the Gregorian calendar.
#include "platform/base/Clock.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace brisko::platform {

namespace {

class SystemClock : public Clock {
public:
    Date now() const override { return std::chrono::system_clock::now(); }
};

std::mutex gClockMutex;
std::shared_ptr<Clock>& installedClock() {
    static auto* c = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
    return *c;
}

struct Broken {
    std::tm tm{};
    long gmtoff = 0;  // seconds east of UTC
    int millis = 0;
};

Broken breakDown(Date d, TimeZone zone) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(d.time_since_epoch()).count();
    std::int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    Broken b;
    b.millis = static_cast<int>(ms - secs * 1000);
    std::time_t t = static_cast<std::time_t>(secs);
    if (zone == TimeZone::utc) {
        gmtime_r(&t, &b.tm);
    } else {
        localtime_r(&t, &b.tm);
        b.gmtoff = b.tm.tm_gmtoff;
    }
    return b;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Whole seconds since 1970 and a part of a second as a date; a text's year beyond the dates a Date
// holds stops at the nearest end instead of overflowing.
Date clampedDate(std::int64_t secs, Date::duration fraction) {
    using namespace std::chrono;
    constexpr auto kLimit = duration_cast<seconds>(Date::duration::max()).count();
    if (secs > kLimit) return Date::max();
    if (secs < -kLimit) return Date::min();
    const Date whole{seconds(secs)};
    if (fraction > Date::duration::zero() && fraction > Date::max() - whole) return Date::max();
    if (fraction < Date::duration::zero() && fraction < Date::min() - whole) return Date::min();
    return whole + fraction;
}

std::string offsetText(long gmtoff, bool colon, bool zForZero) {
    if (zForZero && gmtoff == 0) return "Z";
    char sign = gmtoff < 0 ? '-' : '+';
    long a = std::labs(gmtoff);
    char buf[16];
    std::snprintf(buf, sizeof buf, colon ? "%c%02ld:%02ld" : "%c%02ld%02ld", sign, a / 3600, (a % 3600) / 60);
    return buf;
}

size_t runLength(std::string_view p, size_t i) {
    size_t n = 1;
    while (i + n < p.size() && p[i + n] == p[i]) ++n;
    return n;
}

bool readDigits(std::string_view text, size_t& pos, size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int v = 0;
    for (size_t k = 0; k < count; ++k) {
        char c = text[pos + k];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    pos += count;
    return true;
}

bool readOffset(std::string_view text, size_t& pos, long& offset) {
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
        offset = 0;
        return true;
    }
    if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return false;
    int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    int h = 0, m = 0;
    if (!readDigits(text, pos, 2, h)) return false;
    if (pos < text.size() && text[pos] == ':') ++pos;
    if (!readDigits(text, pos, 2, m)) return false;
    offset = sign * (h * 3600L + m * 60L);
    return true;
}

}  // namespace

Date now() {
    std::lock_guard lock(gClockMutex);
    return installedClock()->now();
}

std::shared_ptr<Clock> systemClock() {
    static auto c = std::make_shared<SystemClock>();
    return c;
}

double timeIntervalSince1970(Date d) {
    return std::chrono::duration<double>(d.time_since_epoch()).count();
}

Date dateFromTimeIntervalSince1970(double seconds) {
    return Date(durationFromSeconds<Date::duration>(seconds));
}

Date ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}
void ManualClock::set(Date d) {
    std::lock_guard lock(mutex_);
    now_ = d;
}
void ManualClock::advance(std::chrono::system_clock::duration d) {
    std::lock_guard lock(mutex_);
    now_ += d;
}

ScopedClock::ScopedClock(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(gClockMutex);
    previous_ = installedClock();
    installedClock() = std::move(clock);
}

ScopedClock::~ScopedClock() {
    std::lock_guard lock(gClockMutex);
    installedClock() = previous_;
}

std::string formatDate(Date d, std::string_view pattern, TimeZone zone) {
    Broken b = breakDown(d, zone);
    std::string out;
    char buf[32];
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            while (j < pattern.size() && pattern[j] != '\'') out += pattern[j++];
            i = j + 1;
            continue;
        }
        size_t n = runLength(pattern, i);
        switch (c) {
        case 'y':
            std::snprintf(buf, sizeof buf, n == 2 ? "%02d" : "%04d",
                          n == 2 ? (b.tm.tm_year + 1900) % 100 : b.tm.tm_year + 1900);
            out += buf;
            break;
        case 'M':
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", b.tm.tm_mon + 1);
            out += buf;
            break;
        case 'd':
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", b.tm.tm_mday);
            out += buf;
            break;
        case 'H':
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", b.tm.tm_hour);
            out += buf;
            break;
        case 'm':
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", b.tm.tm_min);
            out += buf;
            break;
        case 's':
            std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", b.tm.tm_sec);
            out += buf;
            break;
        case 'S': {
            std::snprintf(buf, sizeof buf, "%03d", b.millis);
            out += std::string(buf).substr(0, std::min<size_t>(n, 3));
            for (size_t k = 3; k < n; ++k) out += '0';
            break;
        }
        case 'Z':
            out += n >= 5 ? offsetText(b.gmtoff, true, true) : offsetText(b.gmtoff, false, false);
            break;
        case 'X':
            out += offsetText(b.gmtoff, n >= 3, true);
            break;
        default:
            out.append(n, c);
            break;
        }
        i += n;
    }
    return out;
}

std::optional<Date> parseDate(std::string_view text, std::string_view pattern, TimeZone zone) {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millis = 0;
    std::optional<long> offset;
    size_t pos = 0;
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            size_t j = i + 1;
            while (j < pattern.size() && pattern[j] != '\'') {
                if (pos >= text.size() || text[pos] != pattern[j]) return std::nullopt;
                ++pos, ++j;
            }
            i = j + 1;
            continue;
        }
        size_t n = runLength(pattern, i);
        bool ok = true;
        switch (c) {
        case 'y':
            ok = readDigits(text, pos, n == 2 ? 2 : 4, year);
            break;
        case 'M':
            ok = readDigits(text, pos, 2, month);
            break;
        case 'd':
            ok = readDigits(text, pos, 2, day);
            break;
        case 'H':
            ok = readDigits(text, pos, 2, hour);
            break;
        case 'm':
            ok = readDigits(text, pos, 2, minute);
            break;
        case 's':
            ok = readDigits(text, pos, 2, second);
            break;
        case 'S': {
            int v = 0;
            ok = readDigits(text, pos, n, v);
            millis = n >= 3 ? v / static_cast<int>(std::pow(10, n - 3)) : v * static_cast<int>(std::pow(10, 3 - n));
            break;
        }
        case 'Z':
        case 'X': {
            long off = 0;
            ok = readOffset(text, pos, off);
            offset = off;
            break;
        }
        default:
            for (size_t k = 0; k < n; ++k) {
                if (pos >= text.size() || text[pos] != c) return std::nullopt;
                ++pos;
            }
            break;
        }
        if (!ok) return std::nullopt;
        i += n;
    }
    if (pos != text.size()) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::int64_t secs = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                        hour * 3600 + minute * 60 + second;
    if (offset) {
        secs -= *offset;
    } else if (zone == TimeZone::local) {
        std::tm tm{};
        tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = day;
        tm.tm_hour = hour, tm.tm_min = minute, tm.tm_sec = second, tm.tm_isdst = -1;
        std::time_t t = mktime(&tm);
        if (t == static_cast<std::time_t>(-1)) return std::nullopt;
        secs = t;
    }
    return clampedDate(secs, std::chrono::milliseconds(millis));
}

std::string iso8601(Date d, bool withFractionalSeconds) {
    return formatDate(d, withFractionalSeconds ? "yyyy-MM-dd'T'HH:mm:ss.SSSXXX" : "yyyy-MM-dd'T'HH:mm:ssXXX",
                      TimeZone::utc);
}

std::optional<Date> parseISO8601(std::string_view text) {
    // Date and time, optional fraction of any length, then Z or an offset.
    size_t pos = 0;
    int y, mo, d, h, mi, s;
    auto expect = [&](char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    if (!readDigits(text, pos, 4, y) || !expect('-') || !readDigits(text, pos, 2, mo) || !expect('-') ||
        !readDigits(text, pos, 2, d))
        return std::nullopt;
    if (!expect('T') && !expect('t') && !expect(' ')) return std::nullopt;
    if (!readDigits(text, pos, 2, h) || !expect(':') || !readDigits(text, pos, 2, mi) || !expect(':') ||
        !readDigits(text, pos, 2, s))
        return std::nullopt;
    double fraction = 0;
    if (expect('.') || expect(',')) {
        double scale = 0.1;
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    long offset = 0;
    if (!readOffset(text, pos, offset) || pos != text.size()) return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    std::int64_t secs =
        daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s - offset;
    return clampedDate(secs, durationFromSeconds<Date::duration>(fraction));
}

}  // namespace brisko::platform
