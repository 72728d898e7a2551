// The Facebook provider's credential: its access token.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class FacebookAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRFacebookAuthCredential";
    static constexpr std::string_view kAccessTokenKey = "accessToken";

    explicit FacebookAuthCredential(std::optional<std::string> accessToken);

    const std::optional<std::string>& accessToken() const { return accessToken_; }

    void prepare(VerifyAssertionRequest& request) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: a missing or unreadable key leaves its field absent.
    static std::shared_ptr<FacebookAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const std::optional<std::string> accessToken_;
};

}  // namespace brisko::auth
