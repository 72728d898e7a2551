// Environment facts read from the Linux system: /proc/sys, DMI, os-release and uname.
#include "core/AppEnvironmentUtil.hpp"

#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/storage/ProcessInfo.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kPlatformName = "linux";
constexpr std::string_view kDeploymentType = "swiftpm";

}  // namespace

bool AppEnvironmentUtil::isFromAppStore() {
    // Store origin needs an encrypted executable, which Linux builds never are.
    return false;
}

bool AppEnvironmentUtil::isAppStoreReceiptSandbox() {
    // There is no store receipt on Linux, so never a sandbox one.
    return false;
}

std::optional<std::string> AppEnvironmentUtil::getSysctlEntry(std::string_view name) {
    if (name.empty() || name.find("..") != std::string_view::npos || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string path = "/proc/sys/";
    for (char c : name) path += (c == '.') ? '/' : c;
    std::string value;
    try {
        auto bytes = platform::FileSystem::readFile(path, 64 * 1024);
        value.assign(bytes.begin(), bytes.end());
    } catch (const platform::ErrorException&) {
        return std::nullopt;
    }
    value = platform::trimWhitespaceAndNewlines(value);
    if (value.empty()) return std::nullopt;
    return value;
}

std::string AppEnvironmentUtil::deviceModel() {
    static const std::string kModel = platform::ProcessInfo::processInfo().machineModel();
    return kModel;
}

std::string AppEnvironmentUtil::deviceSimulatorModel() {
    return deviceModel();
}

std::string AppEnvironmentUtil::systemVersion() {
    const auto version = platform::ProcessInfo::processInfo().operatingSystemVersion();
    return formatSystemVersion(version.majorVersion, version.minorVersion, version.patchVersion);
}

std::string AppEnvironmentUtil::formatSystemVersion(long major, long minor, long patch) {
    std::string text = platform::format("%ld.%ld", {major, minor});
    if (patch != 0) text += platform::format(".%ld", {patch});
    return text;
}

std::string AppEnvironmentUtil::applePlatform() {
    return std::string(kPlatformName);
}

std::string AppEnvironmentUtil::deploymentType() {
    return std::string(kDeploymentType);
}

}  // namespace brisko::core
