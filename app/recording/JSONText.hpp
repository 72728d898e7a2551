// JSON text written the way the companion service has always received it: compact, keys in the
// records' order, "/" escaped as "\/", other non-ASCII text as raw UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace brisko::app {

// Appends the text as a quoted JSON string. Ill-formed UTF-8 is replaced by U+FFFD first.
void appendJSONString(std::string& out, std::string_view text);

}  // namespace brisko::app
