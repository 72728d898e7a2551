// The Ezevar sign-in resource bundle (strings, the "Roboto-Bold" font, the "ezevar" icon) and the
// localized button titles.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::signin {

inline constexpr std::string_view kResourceBundleName = "EzevarSignIn_EzevarSignIn";
inline constexpr std::string_view kResourceBundleType = "bundle";
inline constexpr std::string_view kStringsTable = "EzevarSignIn";
inline constexpr std::string_view kFontName = "Roboto-Bold";
inline constexpr std::string_view kFontType = "ttf";
inline constexpr std::string_view kIconName = "ezevar";
inline constexpr std::string_view kIconType = "png";

class SignInResources {
public:
    // The bundle folder among the main bundle's resources, else the one shipped beside this library's
    // sources; nothing when neither exists. Looked up afresh on each call.
    static std::optional<std::filesystem::path> frameworkBundle();
    // Replaces the look-up with one folder, or with none when the folder is empty (tests); reset
    // goes back to the look-up.
    static void setFrameworkBundle(std::optional<std::filesystem::path> folder);
    static void resetFrameworkBundle();
    // "<bundle>/<name>.<type>" when it exists.
    static std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view type);
};

class SignInStrings {
public:
    static constexpr std::string_view kSignInKey = "Sign in";
    static constexpr std::string_view kSignInWithEzevarKey = "Sign in with Ezevar";

    // The text for `key` in the strings table of the user's language ($LANGUAGE, $LC_ALL, $LC_MESSAGES,
    // $LANG), then English; `text` when neither table has it.
    static std::string localizedStringForKey(std::string_view key, std::string_view text);
    static std::string signInString();
    static std::string signInWithEzevarString();
};

}  // namespace brisko::signin
