// The GitHub provider's credential: its access token.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class GitHubAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRGitHubAuthCredential";
    static constexpr std::string_view kTokenKey = "token";

    explicit GitHubAuthCredential(std::optional<std::string> token);

    const std::optional<std::string>& token() const { return token_; }

    void prepare(VerifyAssertionRequest& request) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: a missing or unreadable key leaves its field absent.
    static std::shared_ptr<GitHubAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const std::optional<std::string> token_;
};

}  // namespace brisko::auth
