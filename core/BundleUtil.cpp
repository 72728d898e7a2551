// Bundle look-ups over the app's resources folder and information dictionary.
#include "core/BundleUtil.hpp"

#include "core/AppEnvironmentUtil.hpp"
#include "platform/storage/Bundle.hpp"

namespace brisko::core {

BundleUtil::Bundles BundleUtil::relevantBundles() {
    auto main = platform::Bundle::main();
    return {main, main};
}

std::optional<std::string> BundleUtil::optionsDictionaryPathWithResourceName(std::string_view name,
                                                                             std::string_view type,
                                                                             const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        if (auto path = bundle->pathForResource(name, type)) return path->string();
    }
    return std::nullopt;
}

std::vector<std::string> BundleUtil::relevantURLSchemes() {
    std::vector<std::string> schemes;
    for (const auto& bundle : relevantBundles()) {
        const auto* types = bundle->objectForInfoDictionaryKey(kBundleURLTypesKey);
        if (!types || !types->array()) continue;
        for (const auto& entry : *types->array()) {
            const auto* list = entry.find(kBundleURLSchemesKey);
            if (!list || !list->array()) continue;
            for (const auto& scheme : *list->array()) {
                if (scheme.string()) schemes.push_back(*scheme.string());
            }
        }
    }
    return schemes;
}

bool BundleUtil::hasBundleIdentifierPrefix(std::string_view identifier, const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        auto own = bundle->bundleIdentifier();
        if (!own) continue;
        if (*own == identifier) return true;
        if (AppEnvironmentUtil::isAppExtension() &&
            bundleIdentifierByRemovingLastPartFrom(*own) == identifier) {
            return true;
        }
    }
    return false;
}

std::string BundleUtil::bundleIdentifierByRemovingLastPartFrom(std::string_view identifier) {
    auto dot = identifier.rfind('.');
    if (dot == std::string_view::npos) return {};
    return std::string(identifier.substr(0, dot));
}

}  // namespace brisko::core
