// The Ezevar provider's credential: the ID token and access token of an Ezevar sign-in.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class EzevarAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIREzevarAuthCredential";
    static constexpr std::string_view kIdTokenKey = "idToken";
    static constexpr std::string_view kAccessTokenKey = "accessToken";

    explicit EzevarAuthCredential(std::optional<std::string> idToken, std::optional<std::string> accessToken);

    const std::optional<std::string>& idToken() const { return idToken_; }
    const std::optional<std::string>& accessToken() const { return accessToken_; }

    void prepare(VerifyAssertionRequest& request) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object: a missing or unreadable key leaves its field absent.
    static std::shared_ptr<EzevarAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const std::optional<std::string> idToken_;
    const std::optional<std::string> accessToken_;
};

}  // namespace brisko::auth
