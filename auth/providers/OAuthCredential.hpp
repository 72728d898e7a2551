// The credential of any provider federated by OAuth or OpenID Connect: ID token, access token, OAuth 1
// secret, nonce, pending token and the user's name.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "platform/storage/PersonNameComponents.hpp"

namespace brisko::auth {

struct VerifyAssertionResponse;

class OAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIROAuthCredential";
    static constexpr std::string_view kIDTokenKey = "IDToken";
    static constexpr std::string_view kRawNonceKey = "rawNonce";
    static constexpr std::string_view kAccessTokenKey = "accessToken";
    static constexpr std::string_view kPendingTokenKey = "pendingToken";
    static constexpr std::string_view kSecretKey = "secret";
    static constexpr std::string_view kFullNameKey = "fullName";
    static constexpr std::string_view kProviderIDKey = "providerID";

    struct Fields {
        std::optional<std::string> idToken;
        std::optional<std::string> accessToken;
        std::optional<std::string> secret;
        std::optional<std::string> OAuthResponseURLString;
        std::optional<std::string> sessionID;
        std::optional<std::string> pendingToken;
        std::optional<platform::PersonNameComponents> fullName;
        std::optional<std::string> rawNonce;
        bool operator==(const Fields&) const = default;
    };

    OAuthCredential(std::string provider, Fields fields);

    // From a verify-assertion reply, so a sign-in result or a credential-in-use error can hand back the
    // provider's fresh tokens: nothing unless the ID token, access token or secret has a character; the
    // provider is the reply's, else "OAuth".
    static std::shared_ptr<OAuthCredential> initFromVerifyAssertionResponse(const VerifyAssertionResponse& response);

    const std::optional<std::string>& IDToken() const { return fields_.idToken; }
    const std::optional<std::string>& idToken() const { return fields_.idToken; }
    const std::optional<std::string>& accessToken() const { return fields_.accessToken; }
    const std::optional<std::string>& secret() const { return fields_.secret; }
    const std::optional<std::string>& OAuthResponseURLString() const { return fields_.OAuthResponseURLString; }
    const std::optional<std::string>& sessionID() const { return fields_.sessionID; }
    const std::optional<std::string>& pendingToken() const { return fields_.pendingToken; }
    const std::optional<platform::PersonNameComponents>& fullName() const { return fields_.fullName; }
    const std::optional<std::string>& rawNonce() const { return fields_.rawNonce; }
    const Fields& fields() const { return fields_; }

    void prepare(VerifyAssertionRequest& request) const override;

    // The tokens, the name and the provider; the web sign-in's response URL and session are not kept.
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Always an object. An archive without a provider (written before the provider was kept) decodes
    // with provider "OAuth".
    static std::shared_ptr<OAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const Fields fields_;
};

}  // namespace brisko::auth
