// An OpenID Connect ID token's header and claims (the signature is not read).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/FieldMapping.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

class IDToken {
  public:
    // nullptr unless the text has a JSON-object header and claims with "iss", "sub", "aud", "exp" and
    // "iat" of the right types.
    static std::shared_ptr<const IDToken> initWithIDTokenString(std::string_view idToken);
    // base64url (no padding) then JSON; nothing unless the section is a JSON object.
    static std::optional<Dictionary> parseJWTSection(std::string_view section);
    static std::optional<Data> base64urlNoPaddingDecode(std::string_view section);
    static const FieldMap<IDToken>& fieldMap();

    const Dictionary& header() const { return header_; }
    const Dictionary& claims() const { return claims_; }
    const URL& issuer() const { return *issuer_; }
    const std::string& subject() const { return *subject_; }
    const std::vector<std::string>& audience() const { return *audience_; }
    Date expiresAt() const { return *expiresAt_; }
    Date issuedAt() const { return *issuedAt_; }
    const std::optional<std::string>& nonce() const { return nonce_; }

    IDToken() = default;  // for parsing only

  private:
    Dictionary header_;
    Dictionary claims_;
    std::optional<URL> issuer_;
    std::optional<std::string> subject_;
    std::optional<std::vector<std::string>> audience_;
    std::optional<Date> expiresAt_;
    std::optional<Date> issuedAt_;
    std::optional<std::string> nonce_;
};

}  // namespace brisko::oauth
