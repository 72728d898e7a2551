// Scope lists to and from the space-separated "scope" value, with each scope's characters checked.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brisko::oauth {

class ScopeUtilities {
  public:
    // The scopes joined by single spaces. An empty scope, or one with a character outside "!" and
    // 0x23-0x5B, 0x5D-0x7E, is an assertion failure (ProgrammingException).
    static std::string scopesWithArray(const std::vector<std::string>& scopes);
    // Split at every single space (consecutive spaces give empty entries).
    static std::vector<std::string> scopesArrayWithString(std::string_view scopes);
    // True for a byte a scope may not hold: space, '"', '\', control characters and every non-ASCII byte.
    static bool isDisallowedScopeCharacter(unsigned char c);
};

}  // namespace brisko::oauth
