// Bundle look-ups of the app core: the options file's path, the app's URL schemes, bundle identifiers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {
class Bundle;
}

namespace brisko::core {

inline constexpr std::string_view kBundleURLTypesKey = "CFBundleURLTypes";
inline constexpr std::string_view kBundleURLSchemesKey = "CFBundleURLSchemes";

class BundleUtil {
  public:
    using Bundles = std::vector<std::shared_ptr<platform::Bundle>>;

    // The main bundle, then the bundle holding the app core (the same one: the core links statically).
    static Bundles relevantBundles();
    // The path of the first bundle, in order, that has "<name>.<type>"; nothing when none has.
    static std::optional<std::string> optionsDictionaryPathWithResourceName(std::string_view name,
                                                                            std::string_view type,
                                                                            const Bundles& bundles);
    // Every scheme of every "CFBundleURLTypes" entry of the relevant bundles, in order.
    static std::vector<std::string> relevantURLSchemes();
    // True when a bundle's identifier equals the given one (or, in an app extension, equals it once its
    // last part is removed).
    static bool hasBundleIdentifierPrefix(std::string_view identifier, const Bundles& bundles);
    static std::string bundleIdentifierByRemovingLastPartFrom(std::string_view identifier);
};

}  // namespace brisko::core
