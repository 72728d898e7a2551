// Reading a "WWW-Authenticate" value: the challenges it offers.
#include "platform/net/WWWAuthenticate.hpp"

#include <cctype>

#include "platform/base/Text.hpp"

namespace brisko::platform::detail {

std::vector<AuthOffer> parseAuthenticate(std::string_view v) {
    std::vector<AuthOffer> offers;
    std::size_t i = 0;
    auto skip = [&] {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == ',')) ++i;
    };
    while (true) {
        skip();
        if (i >= v.size()) break;
        const std::size_t start = i;
        while (i < v.size() && v[i] != ' ' && v[i] != '\t' && v[i] != '=' && v[i] != ',') ++i;
        std::string token(v.substr(start, i - start));
        std::size_t j = i;
        while (j < v.size() && (v[j] == ' ' || v[j] == '\t')) ++j;
        if (j < v.size() && v[j] == '=' && !(j + 1 < v.size() && v[j + 1] == '=')) {
            // An auth-param: name=token or name="quoted string".
            i = j + 1;
            while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
            std::string value;
            if (i < v.size() && v[i] == '"') {
                ++i;
                while (i < v.size() && v[i] != '"') {
                    if (v[i] == '\\' && i + 1 < v.size()) ++i;
                    value += v[i++];
                }
                ++i;
            } else {
                while (i < v.size() && v[i] != ',' && v[i] != ' ' && v[i] != '\t') value += v[i++];
            }
            if (!offers.empty() && equalsIgnoringASCIICase(token, "realm")) offers.back().realm = value;
            continue;
        }
        if (token.empty()) {
            ++i;
            continue;
        }
        // A new challenge; a token68 after it ("Negotiate abc==") reads as a param-less token and is skipped.
        for (auto& c : token) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        offers.push_back({std::move(token), std::nullopt});
        while (j < v.size() && v[j] == '=') ++j;
        i = j;
    }
    return offers;
}

}  // namespace brisko::platform::detail
