// Sources of a fetcher's "User-Agent": the provider interface, a fixed text and the standard text.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::platform {
class Bundle;
}

namespace brisko::fetcher {

// `userAgent` may be slow (the fetcher calls it off its own queues); `cachedUserAgent` must be fast and
// answers nothing until a value was computed.
class UserAgentProvider {
  public:
    virtual ~UserAgentProvider() = default;
    virtual std::string userAgent() = 0;
    virtual std::optional<std::string> cachedUserAgent() = 0;
};

// A provider of one fixed text.
class UserAgentStringProvider final : public UserAgentProvider {
  public:
    explicit UserAgentStringProvider(std::string userAgent) : userAgent_(std::move(userAgent)) {}
    std::string userAgent() override { return userAgent_; }
    std::optional<std::string> cachedUserAgent() override { return userAgent_; }

  private:
    const std::string userAgent_;
};

// The standard text "<application token> <system token>" of a bundle (the main bundle when none is given).
class StandardUserAgentProvider final : public UserAgentProvider {
  public:
    explicit StandardUserAgentProvider(std::shared_ptr<const platform::Bundle> bundle = nullptr)
        : bundle_(std::move(bundle)) {}
    std::string userAgent() override;
    std::optional<std::string> cachedUserAgent() override;
    void setCachedUserAgent(std::optional<std::string> value);

  private:
    std::shared_ptr<const platform::Bundle> bundle_;
    std::mutex mutex_;
    std::optional<std::string> cachedUserAgent_;
};

// "%@ %@": the application token and the system token.
std::string standardUserAgentString(const std::shared_ptr<const platform::Bundle>& bundle);
// The application token "name/version", cached per bundle identifier for the life of the process.
std::string applicationIdentifier(const std::shared_ptr<const platform::Bundle>& bundle);
// "Linux/<major>.<minor>.<patch>" of the running kernel: the system's own version numbers, written as the
// standard agent text writes them on every system.
std::string systemVersionString();
// Blanks and commas become "_"; white space and the HTTP separators "()<>@;:\"/[]?={}" are removed.
std::string cleanedUserAgentToken(std::optional<std::string_view> token);

}  // namespace brisko::fetcher
