// HTTP date texts: the lenient cookie-date reading of RFC 6265 and the IMF-fixdate of HTTP headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::fetcher {

// Reads a date the way browsers read a cookie's Expires attribute (RFC 6265 section 5.1.1): it finds a
// time, a day of month, a month name and a year among the tokens, in any order. It also reads the
// IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT" of "Retry-After" and the older RFC 850 and asctime forms.
std::optional<platform::Date> parseHTTPDate(std::string_view text);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string formatHTTPDate(platform::Date date);

}  // namespace brisko::fetcher
