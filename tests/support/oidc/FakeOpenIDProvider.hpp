// A scripted OpenID provider for replies a conformant server never sends: its token and registration
// endpoints answer what the test sets, and it mints unsigned ID tokens with any claims.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "tests/support/HttpTestServer.hpp"

namespace brisko::testing {

class FakeOpenIDProvider {
  public:
    FakeOpenIDProvider();

    std::string issuer() const { return server_.baseURL(); }
    platform::URL authorizationEndpoint() const { return server_.url("/auth"); }
    platform::URL tokenEndpoint() const { return server_.url("/token"); }
    platform::URL registrationEndpoint() const { return server_.url("/register"); }
    HttpTestServer& server() { return server_; }

    // What the token (or registration) endpoint answers next, and from then on.
    void replyToToken(int status, std::string body, std::string contentType = "application/json");
    void replyToRegistration(int status, std::string body, std::string contentType = "application/json");

    // The claims of a token that passes every check for the client: "iss", "sub", "aud", "exp" one
    // hour on, "iat" now and "nonce" when given.
    platform::Dictionary validClaims(std::string_view clientID, std::optional<std::string> nonce = std::nullopt) const;
    // header.claims.signature with the claims as given (the signature is not meant to verify).
    static std::string idToken(const platform::Dictionary& claims);
    // A token reply carrying the ID token, an access token and a refresh token.
    static std::string tokenReply(const std::optional<std::string>& idToken, std::string_view accessToken = "access-1",
                                  std::optional<std::string> refreshToken = "refresh-1");

  private:
    struct Reply {
        int status = 500;
        std::string body;
        std::string contentType;
    };
    HttpTestServer server_;
    std::mutex mutex_;
    Reply token_;
    Reply registration_;
};

}  // namespace brisko::testing
