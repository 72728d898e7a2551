// Facts about the running application and machine: store origin, device model, system version,
// platform name, packaging and extension state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brisko::core {

inline constexpr std::string_view kAppStoreReceiptURLCheckEnabledKey =
    "ZudiridiAppStoreReceiptURLCheckEnabled";

class AppEnvironmentUtil {
  public:
    // Linux has no app-store-encrypted executables: never from an app store.
    static bool isFromAppStore();
    static bool isAppStoreReceiptSandbox();
    static bool isSimulator() { return false; }
    // A kernel parameter by its dotted name ("kernel.ostype" reads /proc/sys/kernel/ostype); nothing
    // when it is missing or empty.
    static std::optional<std::string> getSysctlEntry(std::string_view name);
    // The machine's model from DMI (product name), else the machine architecture; computed once.
    static std::string deviceModel();
    static std::string deviceSimulatorModel();
    // The operating-system version "major.minor", with ".patch" only when the patch is not 0.
    static std::string systemVersion();
    static bool isAppExtension() { return false; }
    static bool isAppClip() { return false; }
    static bool supportsBackgroundURLSessionUploads() { return !isAppExtension() && !isAppClip(); }
    static std::string applePlatform();
    static std::string appleDevicePlatform() { return applePlatform(); }
    static std::string deploymentType();

    // "major.minor[.patch]" of a version.
    static std::string formatSystemVersion(long major, long minor, long patch);
};

// Network facts that this platform does not report.
class NetworkInfo {
  public:
    static int getNetworkType() { return -1; }
    static std::string getNetworkRadioType() { return {}; }
};

}  // namespace brisko::core
