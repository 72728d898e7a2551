// The Twitter provider's credential: an OAuth 1 token and its secret.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class TwitterAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRTwitterAuthCredential";
    static constexpr std::string_view kTokenKey = "token";
    static constexpr std::string_view kSecretKey = "secret";

    explicit TwitterAuthCredential(std::optional<std::string> token, std::optional<std::string> secret);

    const std::optional<std::string>& token() const { return token_; }
    const std::optional<std::string>& secret() const { return secret_; }

    void prepare(VerifyAssertionRequest& request) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: a missing or unreadable key leaves its field absent.
    static std::shared_ptr<TwitterAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const std::optional<std::string> token_;
    const std::optional<std::string> secret_;
};

}  // namespace brisko::auth
