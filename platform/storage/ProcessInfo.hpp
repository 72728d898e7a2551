// Facts about this process and machine: arguments, environment, OS version, model, host and computer name.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {

struct OperatingSystemVersion {
    std::int64_t majorVersion = 0;
    std::int64_t minorVersion = 0;
    std::int64_t patchVersion = 0;
    bool operator==(const OperatingSystemVersion&) const = default;
};

class ProcessInfo {
  public:
    static ProcessInfo& processInfo();

    // The launch arguments, the executable's name first: what main set, else /proc/self/cmdline.
    std::vector<std::string> arguments() const;
    void setArguments(std::vector<std::string> arguments);

    std::optional<std::string> environmentValue(std::string_view name) const;
    std::map<std::string, std::string> environment() const;

    // The distribution's name and version from os-release ("Debian GNU/Linux", 12.0.0); without one, the
    // kernel's ("Linux", from its release number).
    std::string operatingSystemName() const;
    OperatingSystemVersion operatingSystemVersion() const;
    // A readable line such as "Debian GNU/Linux 12 (bookworm)".
    std::string operatingSystemVersionString() const;
    // The kernel release, "6.1.0-18-amd64".
    std::string kernelVersion() const;

    // The machine's model from the firmware (DMI product name), else the architecture.
    std::string machineModel() const;
    // The CPU architecture as uname reports it, "x86_64".
    std::string architecture() const;
    std::string hostName() const;
    // The name the user gave the computer (PRETTY_HOSTNAME of /etc/machine-info), else the host name;
    // nothing when neither is set.
    std::optional<std::string> computerName() const;

    int processIdentifier() const;
    // The executable's file name.
    std::string processName() const;

    // KEY=value lines as os-release and machine-info write them (quotes and backslash escapes undone,
    // comments skipped).
    static std::map<std::string, std::string> parseKeyValueFile(std::string_view text);
    // "12", "22.04", "6.1.0-18-amd64": up to three leading numbers; missing parts are 0.
    static OperatingSystemVersion parseVersion(std::string_view text);
    // The computer name from a machine-info text and a host name, as computerName() decides it.
    static std::optional<std::string> computerNameFrom(std::string_view machineInfo,
                                                       std::string_view hostName);

  private:
    ProcessInfo() = default;
    std::map<std::string, std::string> osRelease() const;

    mutable std::mutex mutex_;
    std::optional<std::vector<std::string>> arguments_;
};

}  // namespace brisko::platform
