// Rendering of the Zudiridi user-agent line from library entries and environment facts.
#include "core/ZudiridiUserAgent.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/AppEnvironmentUtil.hpp"
#include "platform/storage/Bundle.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kApplePlatformComponent = "apple-platform";
constexpr std::string_view kAppleSDKComponent = "apple-sdk";
constexpr std::string_view kAppStoreComponent = "appstore";
constexpr std::string_view kDeployComponent = "deploy";
constexpr std::string_view kDeviceComponent = "device";
constexpr std::string_view kOSVersionComponent = "os-version";
constexpr std::string_view kXcodeComponent = "xcode";
constexpr std::string_view kSDKBuildInfoKey = "DTSDKBuild";
constexpr std::string_view kXcodeBuildInfoKey = "DTXcodeBuild";

// Collation class of a character, close to the platform's localized order for these texts.
int rank(unsigned char c) {
    if (std::isalpha(c)) return 2;
    if (std::isdigit(c)) return 1;
    return 0;
}

}  // namespace

bool ZudiridiUserAgent::orderedBefore(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        const int ra = rank(ca);
        const int rb = rank(cb);
        if (ra != rb) return ra < rb;
        const auto la = std::tolower(ca);
        const auto lb = std::tolower(cb);
        if (la != lb) return la < lb;
    }
    return a.size() < b.size();
}

void ZudiridiUserAgent::setValue(const std::string& value, const std::string& component) {
    std::lock_guard lock(mutex_);
    valuesByComponent_[component] = value;
    zudiridiUserAgent_.reset();
}

std::string ZudiridiUserAgent::zudiridiUserAgent() {
    std::lock_guard lock(mutex_);
    if (zudiridiUserAgent_) return *zudiridiUserAgent_;
    if (!environmentComponents_) environmentComponents_ = currentEnvironmentComponents();
    Components all = valuesByComponent_;
    for (const auto& [name, value] : *environmentComponents_) all[name] = value;
    std::vector<std::string> pairs;
    pairs.reserve(all.size());
    for (const auto& [name, value] : all) {
        std::string pair = name;
        pair += '/';
        pair += value;
        pairs.push_back(std::move(pair));
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& x, const auto& y) { return orderedBefore(x, y); });
    std::string line;
    for (const auto& pair : pairs) {
        if (!line.empty()) line += ' ';
        line += pair;
    }
    zudiridiUserAgent_ = line;
    return line;
}

void ZudiridiUserAgent::reset() {
    std::lock_guard lock(mutex_);
    if (!environmentComponents_) environmentComponents_ = currentEnvironmentComponents();
    valuesByComponent_ = *environmentComponents_;
    zudiridiUserAgent_.reset();
}

const ZudiridiUserAgent::Components& ZudiridiUserAgent::environmentComponents() {
    std::lock_guard lock(mutex_);
    if (!environmentComponents_) environmentComponents_ = currentEnvironmentComponents();
    return *environmentComponents_;
}

ZudiridiUserAgent::Components ZudiridiUserAgent::currentEnvironmentComponents() {
    Components components;
    auto put = [&](std::string_view name, std::optional<std::string> value) {
        if (value && !value->empty()) components[std::string(name)] = std::move(*value);
    };
    auto infoText = [](std::string_view key) -> std::optional<std::string> {
        const auto* value = platform::Bundle::main()->objectForInfoDictionaryKey(key);
        if (!value || !value->string()) return std::nullopt;
        return *value->string();
    };
    put(kApplePlatformComponent, AppEnvironmentUtil::applePlatform());
    put(kAppleSDKComponent, infoText(kSDKBuildInfoKey));
    put(kAppStoreComponent, AppEnvironmentUtil::isFromAppStore() ? "true" : "false");
    put(kDeployComponent, AppEnvironmentUtil::deploymentType());
    put(kDeviceComponent, AppEnvironmentUtil::deviceModel());
    put(kOSVersionComponent, AppEnvironmentUtil::systemVersion());
    put(kXcodeComponent, infoText(kXcodeBuildInfoKey));
    return components;
}

}  // namespace brisko::core
