// The app's bundle: its resources folder, its information dictionary (Info.plist) and resource look-up.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Value.hpp"

namespace brisko::platform {

class Bundle {
public:
    using Path = std::filesystem::path;

    static constexpr std::string_view kInfoPlistName = "Info.plist";
    static constexpr std::string_view kIdentifierKey = "CFBundleIdentifier";
    static constexpr std::string_view kDevelopmentRegionKey = "CFBundleDevelopmentRegion";
    // The development localization of a bundle whose Info.plist names none.
    static constexpr std::string_view kDefaultDevelopmentLocalization = "en";
    // Points the main bundle at another resources folder.
    static constexpr std::string_view kResourcesEnvironmentVariable = "BRISKO_RESOURCES_DIR";

    // A bundle over a resources folder (holding Info.plist); the executable defaults to this process's.
    explicit Bundle(Path resourcePath, std::optional<Path> executablePath = std::nullopt);

    // The app's bundle. Its resources folder is, in order: $BRISKO_RESOURCES_DIR; a "resources" folder
    // beside the executable; ../share/brisko-desktop from the executable (installed); the source tree's
    // resources folder (build tree).
    static std::shared_ptr<Bundle> main();
    // Replaces the main bundle (tests, tools); nullptr goes back to the one found as above.
    static void setMain(std::shared_ptr<Bundle> bundle);

    // CFBundleIdentifier of the information dictionary.
    std::optional<std::string> bundleIdentifier() const;
    // Info.plist of the resources folder, read once; empty when missing or unreadable (logged).
    const Dictionary& infoDictionary() const;
    const Value* objectForInfoDictionaryKey(std::string_view key) const;

    // The language the bundle's own texts are written in: CFBundleDevelopmentRegion (as a language tag),
    // else "en".
    std::string developmentLocalization() const;
    // The user's languages (Locale::preferredLanguages), each followed by its bare language ("ja-JP",
    // "ja"), then the development localization; never empty. Read once per bundle.
    const std::vector<std::string>& preferredLocalizations() const;

    const Path& resourcePath() const { return resourcePath_; }
    const Path& executablePath() const { return executablePath_; }
    // "<resources>/<name>.<type>" when that file or folder exists (a type may be given with or without
    // its dot; an empty type looks up the name alone).
    std::optional<Path> pathForResource(std::string_view name, std::string_view type) const;

    // The folder the main bundle would use, for this executable.
    static Path findResourcePath(const Path& executablePath);
    static Path currentExecutablePath();

private:
    Path resourcePath_;
    Path executablePath_;
    mutable std::once_flag infoOnce_;
    mutable Dictionary info_;
    mutable std::once_flag localizationsOnce_;
    mutable std::vector<std::string> localizations_;
};

}  // namespace brisko::platform
