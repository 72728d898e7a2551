// An immutable instant: whole seconds since 1970 (UTC) and nanoseconds, from year 1 to year 9999.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::core {

inline constexpr std::string_view kInvalidTimestampException = "Invalid timestamp";
inline constexpr std::string_view kInvalidISOStringException = "Invalid ISO string";

class Timestamp {
  public:
    // Throws platform::ProgrammingException ("Invalid timestamp") for values out of range.
    Timestamp(std::int64_t seconds, std::int32_t nanoseconds);
    static Timestamp timestampWithSeconds(std::int64_t seconds, std::int32_t nanoseconds) {
        return Timestamp(seconds, nanoseconds);
    }
    static Timestamp timestampWithDate(platform::Date date);
    // The current instant of the process clock.
    static Timestamp timestamp();

    std::int64_t seconds() const { return seconds_; }
    std::int32_t nanoseconds() const { return nanoseconds_; }

    platform::Date dateValue() const;
    // "2001-02-03T04:05:06.000000007Z"
    std::string ISO8601String() const;
    // -1 ascending, 0 same, 1 descending.
    int compare(const Timestamp& other) const;
    bool isEqualToTimestamp(const Timestamp& other) const { return compare(other) == 0; }
    std::size_t hash() const;
    std::string description() const;

    friend bool operator==(const Timestamp&, const Timestamp&) = default;
    friend std::strong_ordering operator<=>(const Timestamp& a, const Timestamp& b) {
        if (auto c = a.seconds_ <=> b.seconds_; c != 0) return c;
        return a.nanoseconds_ <=> b.nanoseconds_;
    }

  private:
    std::int64_t seconds_;
    std::int32_t nanoseconds_;
};

}  // namespace brisko::core
