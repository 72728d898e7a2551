// Locale names of the environment turned into language tags.
#include "platform/storage/Locale.hpp"

#include <algorithm>
#include <cstdlib>

namespace brisko::platform {
namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAlnum(char c) {
    return isAlpha(c) || (c >= '0' && c <= '9');
}
bool allOf(std::string_view text, bool (*test)(char)) {
    return std::all_of(text.begin(), text.end(), test);
}
std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

}  // namespace

std::optional<std::string> Locale::languageTag(std::string_view name) {
    // language[_territory][.codeset][@modifier]
    std::string_view modifier;
    if (const auto at = name.find('@'); at != std::string_view::npos) {
        modifier = name.substr(at + 1);
        name = name.substr(0, at);
    }
    name = name.substr(0, name.find('.'));
    std::string_view language = name.substr(0, name.find_first_of("_-"));
    std::string_view territory;
    if (language.size() < name.size()) territory = name.substr(language.size() + 1);

    if (language.size() < 2 || language.size() > 3 || !allOf(language, isAlpha)) return std::nullopt;
    if (!territory.empty() && (territory.size() > 8 || !allOf(territory, isAlnum))) return std::nullopt;
    std::string tag = lower(language);
    // The script modifiers glibc's locales use; other modifiers ("euro") say nothing about the language.
    if (modifier == "latin") tag += "-Latn";
    if (modifier == "cyrillic") tag += "-Cyrl";
    if (!territory.empty()) {
        std::string region(territory);
        for (char& c : region) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        tag += "-" + region;
    }
    return tag;
}

std::vector<std::string> Locale::preferredLanguages(const Environment& environment) {
    std::vector<std::string> languages;
    auto add = [&](std::string_view name) {
        auto tag = languageTag(name);
        if (tag && std::find(languages.begin(), languages.end(), *tag) == languages.end())
            languages.push_back(std::move(*tag));
    };
    if (const char* list = environment("LANGUAGE"); list && *list) {
        std::string_view rest(list);
        for (;;) {
            const auto colon = rest.find(':');
            add(rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
        if (!languages.empty()) return languages;
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* name = environment(variable); name && *name) {
            add(name);
            break;
        }
    }
    return languages;
}

std::vector<std::string> Locale::preferredLanguages() {
    return preferredLanguages([](const char* name) { return std::getenv(name); });
}

}  // namespace brisko::platform
