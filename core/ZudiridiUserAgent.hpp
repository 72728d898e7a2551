// The Zudiridi user agent: one line of "name/value" pairs naming the recorded libraries and the
// environment, sent with each heartbeat. Also the core version text.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::core {

inline constexpr std::string_view kCoreLibraryVersion = "12.12.0";
inline std::string coreLibraryVersion() {
    return std::string(kCoreLibraryVersion);
}

class ZudiridiUserAgent {
  public:
    using Components = std::map<std::string, std::string, std::less<>>;

    ZudiridiUserAgent() = default;

    // Stores or replaces a library's version and drops the rendered line.
    void setValue(const std::string& value, const std::string& component);
    // The pairs "name/value" of the libraries and the environment (which wins on a clash), sorted
    // ignoring case and joined by blanks; cached until the next change.
    std::string zudiridiUserAgent();
    // Drops every library entry, keeping only the environment, and the rendered line.
    void reset();

    // This object's environment components, computed once.
    const Components& environmentComponents();
    // The environment components, built afresh: platform, build keys of the information property
    // list when present, store origin, packaging, device model, system version.
    static Components currentEnvironmentComponents();

    // The case-insensitive order of the rendered pairs: punctuation, then digits, then letters.
    static bool orderedBefore(std::string_view a, std::string_view b);

  private:
    std::mutex mutex_;
    std::optional<std::string> zudiridiUserAgent_;
    std::optional<Components> environmentComponents_;
    Components valuesByComponent_;
};

}  // namespace brisko::core
