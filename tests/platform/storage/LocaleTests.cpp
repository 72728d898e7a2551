// The user's languages from the locale environment, and the bundle's preferred localizations.
#include <doctest/doctest.h>

#include <map>

#include "platform/storage/Bundle.hpp"
#include "platform/storage/Locale.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using namespace brisko::platform::testing;

namespace {
using Variables = std::map<std::string, std::string>;
std::vector<std::string> languagesOf(const Variables& variables) {
    return Locale::preferredLanguages([&](const char* name) -> const char* {
        auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    });
}
using List = std::vector<std::string>;
}  // namespace

TEST_CASE("the user's languages come from LANGUAGE, else LC_ALL, LC_MESSAGES and LANG, in that order") {
    struct Case {
        Variables variables;
        List languages;
    };
    const Case cases[] = {
        {{{"LANG", "ja_JP.UTF-8"}}, {"ja-JP"}},
        {{{"LANGUAGE", "fr:de"}, {"LANG", "ja_JP.UTF-8"}}, {"fr", "de"}},
        {{{"LANGUAGE", "pt_BR:pt::fr:pt_BR"}}, {"pt-BR", "pt", "fr"}},
        {{{"LC_ALL", "de_DE@euro"}, {"LC_MESSAGES", "fr_FR"}, {"LANG", "ja_JP"}}, {"de-DE"}},
        {{{"LC_MESSAGES", "fr_CA.UTF-8"}, {"LANG", "ja_JP"}}, {"fr-CA"}},
        {{{"LANG", "sr_RS@latin"}}, {"sr-Latn-RS"}},
        {{{"LANG", "es_419"}}, {"es-419"}},
        // "C" and "POSIX" name no language; an empty or unusable LANGUAGE gives way to the locale.
        {{{"LANG", "C.UTF-8"}}, {}},
        {{{"LC_ALL", "POSIX"}, {"LANG", "ja_JP.UTF-8"}}, {}},
        {{{"LANGUAGE", ""}, {"LANG", "ko_KR.UTF-8"}}, {"ko-KR"}},
        {{{"LANGUAGE", "C"}, {"LANG", "ko_KR.UTF-8"}}, {"ko-KR"}},
        {{{"LC_ALL", ""}, {"LANG", "it_IT"}}, {"it-IT"}},
        {{}, {}},
        // Text that is not a locale name never becomes a language (it would reach a request header).
        {{{"LANGUAGE", "en\r\nX-Evil: 1:../../etc:fr"}}, {"fr"}},
        {{{"LANG", "japanese"}}, {}},
    };
    for (const auto& c : cases) {
        std::string described;
        for (const auto& [name, value] : c.variables) described += name + "=" + value + " ";
        CAPTURE(described);
        CHECK(languagesOf(c.variables) == c.languages);
    }
}

TEST_CASE("a bundle prefers the user's languages, then its development localization") {
    TemporaryDirectory dir;
    ScopedEnvironment language("LANGUAGE", std::nullopt);
    ScopedEnvironment all("LC_ALL", std::nullopt);
    ScopedEnvironment messages("LC_MESSAGES", std::nullopt);
    writeText(dir / "Info.plist", R"(<plist version="1.0"><dict>
      <key>CFBundleDevelopmentRegion</key><string>ja</string></dict></plist>)");
    {
        ScopedEnvironment lang("LANG", "ja_JP.UTF-8");
        CHECK(Bundle(dir.path()).preferredLocalizations() == List{"ja-JP", "ja"});
    }
    {
        ScopedEnvironment lang("LANG", "C");
        CHECK(Bundle(dir.path()).developmentLocalization() == "ja");
        CHECK(Bundle(dir.path()).preferredLocalizations() == List{"ja"});
        ScopedEnvironment list("LANGUAGE", "fr_CA:de");
        CHECK(Bundle(dir.path()).preferredLocalizations() == List{"fr-CA", "fr", "de", "ja"});
    }
    // Without a development region of its own a bundle is English; an unusable one counts as none.
    TemporaryDirectory plain;
    ScopedEnvironment lang("LANG", "C");
    CHECK(Bundle(plain.path()).preferredLocalizations() == List{"en"});
    writeText(plain / "Info.plist", R"(<plist version="1.0"><dict>
      <key>CFBundleDevelopmentRegion</key><string>ja
X-Evil: 1</string></dict></plist>)");
    CHECK(Bundle(plain.path()).preferredLocalizations() == List{"en"});
}
