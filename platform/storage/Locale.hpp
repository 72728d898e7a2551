// The user's preferred languages, as the desktop's locale environment names them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {

class Locale {
public:
    // Reads one environment variable; nullptr when it is not set.
    using Environment = std::function<const char*(const char*)>;

    // The user's languages, most preferred first, as language tags ("ja-JP", "fr"): the entries of the
    // colon list $LANGUAGE, else the first of $LC_ALL, $LC_MESSAGES and $LANG that is set. "C" and
    // "POSIX" name no language; empty when nothing names one. Read afresh on each call.
    static std::vector<std::string> preferredLanguages();
    static std::vector<std::string> preferredLanguages(const Environment& environment);

    // The language tag of a locale name: "ja_JP.UTF-8" is "ja-JP", "sr_RS@latin" is "sr-Latn-RS".
    // None for "C", "POSIX" and anything that is not a locale name (so no stray text reaches a header).
    static std::optional<std::string> languageTag(std::string_view localeName);
};

}  // namespace brisko::platform
