// Whether a domain is a public suffix, under which anyone may register names ("com", "co.uk", "github.io").
#pragma once

#include <string_view>

namespace brisko::fetcher::internal {

// From the distribution's Public Suffix List (libpsl with the publicsuffix data), its ICANN and private
// sections alike; a name the list does not know (a single label such as "localhost") is not one. Without
// a list every domain counts as one, so that no cookie is ever set for a whole suffix by mistake.
// `domain` is lower case, without a leading dot.
bool isPublicSuffix(std::string_view domain);

}  // namespace brisko::fetcher::internal
