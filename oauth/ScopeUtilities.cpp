// Scope lists and their character checks.
#include "oauth/ScopeUtilities.hpp"

#include "oauth/ErrorUtilities.hpp"

namespace brisko::oauth {

bool ScopeUtilities::isDisallowedScopeCharacter(unsigned char c) {
    // Allowed: "!" (0x21), 0x23-0x5B and 0x5D-0x7E: every visible ASCII character but '"' and '\'.
    return !(c == 0x21 || (c >= 0x23 && c <= 0x5B) || (c >= 0x5D && c <= 0x7E));
}

std::string ScopeUtilities::scopesWithArray(const std::vector<std::string>& scopes) {
    std::string joined;
    for (const auto& scope : scopes) {
        if (scope.empty()) ErrorUtilities::assertionFailure("Found illegal empty scope string.");
        for (unsigned char c : scope) {
            if (isDisallowedScopeCharacter(c)) ErrorUtilities::assertionFailure("Found illegal character in scope string.");
        }
        if (!joined.empty()) joined += ' ';
        joined += scope;
    }
    return joined;
}

std::vector<std::string> ScopeUtilities::scopesArrayWithString(std::string_view scopes) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        auto space = scopes.find(' ', start);
        out.emplace_back(scopes.substr(start, space - start));
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    return out;
}

}  // namespace brisko::oauth
