// Lenient readers of identity replies: a member of an unexpected JSON type reads as absent, false or 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/base/Value.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth::detail {

using JSON = nlohmann::json;

// The member when the value is an object and has it, else nullptr.
const JSON* member(const JSON& object, std::string_view key);
// Text only when the member is a JSON string.
std::optional<std::string> readText(const JSON& object, std::string_view key);
// A JSON boolean; false for anything else.
bool readBoolean(const JSON& object, std::string_view key);
// A JSON number with an integral value; 0 for anything else.
std::int64_t readInteger(const JSON& object, std::string_view key);
// A text of seconds ("3600"): the current time plus its leading decimal number (after leading white
// space; 0 when it has none). Nothing when the member is missing or not text.
std::optional<platform::Date> readExpiresIn(const JSON& object, std::string_view key);
// The leading decimal number of a text the way a lenient text-to-double reading takes it: leading
// white space skipped, then sign, digits, fraction and exponent; 0 when there is none. Never infinite
// or NaN: a value beyond the range of dates is clamped.
double leadingDecimalValue(std::string_view text);
// Now plus the given seconds, clamped to what a date can hold.
platform::Date dateAfterSeconds(double seconds);
// A text of milliseconds since 1970 that is a decimal number as a whole; nothing otherwise.
std::optional<platform::Date> readMillisecondsTimestamp(const JSON& object, std::string_view key);
// A text in the fixed format "yyyy-MM-dd'T'HH:mm:ss.SSSZ", read in the Gregorian calendar whatever
// the user's locale; nothing when the text does not match.
std::optional<platform::Date> readEnrollmentDate(const JSON& object, std::string_view key);
// A text parsed as a URL; nothing when it does not parse.
std::optional<platform::URL> readURL(const JSON& object, std::string_view key);
// An array whose every element is text; nothing otherwise.
std::optional<std::vector<std::string>> readTextArray(const JSON& object, std::string_view key);
// An array whose every element is an object; nothing otherwise.
const JSON* readObjectArray(const JSON& object, std::string_view key);
// The decimal text of a whole number, as JSON texts carry them.
bool isWholeDecimalNumber(std::string_view text);

}  // namespace brisko::auth::detail
