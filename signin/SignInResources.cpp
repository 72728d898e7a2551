// Finds the resource bundle and reads its strings tables.
#include "signin/SignInResources.hpp"

#include <mutex>
#include <vector>

#include "platform/storage/Bundle.hpp"
#include "platform/storage/PropertyList.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kStringsType = ".strings";
constexpr std::string_view kLanguageFolderSuffix = ".lproj";

std::optional<std::filesystem::path> existing(std::filesystem::path path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path;
    return std::nullopt;
}

struct BundleOverride {
    std::mutex mutex;
    bool active = false;
    std::optional<std::filesystem::path> folder;
};
BundleOverride& bundleOverride() {
    static BundleOverride o;
    return o;
}
}  // namespace

void SignInResources::setFrameworkBundle(std::optional<std::filesystem::path> folder) {
    std::lock_guard lock(bundleOverride().mutex);
    bundleOverride().active = true;
    bundleOverride().folder = std::move(folder);
}

void SignInResources::resetFrameworkBundle() {
    std::lock_guard lock(bundleOverride().mutex);
    bundleOverride().active = false;
    bundleOverride().folder.reset();
}

std::optional<std::filesystem::path> SignInResources::frameworkBundle() {
    {
        std::lock_guard lock(bundleOverride().mutex);
        if (bundleOverride().active) return bundleOverride().folder;
    }
    if (auto main = platform::Bundle::main()) {
        if (auto path = main->pathForResource(kResourceBundleName, kResourceBundleType)) return path;
    }
#ifdef BRISKO_SIGNIN_RESOURCES_DIR
    return existing(std::filesystem::path(BRISKO_SIGNIN_RESOURCES_DIR) /
                    (std::string(kResourceBundleName) + "." + std::string(kResourceBundleType)));
#else
    return std::nullopt;
#endif
}

std::optional<std::filesystem::path> SignInResources::pathForResource(std::string_view name, std::string_view type) {
    auto bundle = frameworkBundle();
    if (!bundle) return std::nullopt;
    return existing(*bundle / (std::string(name) + "." + std::string(type)));
}

std::string SignInStrings::localizedStringForKey(std::string_view key, std::string_view text) {
    auto bundle = SignInResources::frameworkBundle();
    if (!bundle) return std::string(text);
    // The user's languages, then the bundle's own (English: it has no Info.plist naming another).
    const platform::Bundle resources(*bundle, std::filesystem::path());
    for (const auto& language : resources.preferredLocalizations()) {
        auto file = *bundle / (language + std::string(kLanguageFolderSuffix)) /
                    (std::string(kStringsTable) + std::string(kStringsType));
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) continue;
        platform::Value table;
        try {
            table = platform::PropertyList::readFile(file);
        } catch (...) {
            continue;
        }
        if (const platform::Value* value = table.find(key); value && value->string()) return *value->string();
    }
    return std::string(text);
}

std::string SignInStrings::signInString() {
    return localizedStringForKey(kSignInKey, kSignInKey);
}

std::string SignInStrings::signInWithEzevarString() {
    return localizedStringForKey(kSignInWithEzevarKey, kSignInWithEzevarKey);
}

}  // namespace brisko::signin
