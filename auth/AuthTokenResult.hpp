// A decoded Zudiridi ID token (a JWT whose payload is read, not verified) and its archive.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

// The claims every ID token must carry.
struct JWT {
    struct ZudiridiPayload {
        std::string signInProvider;
        std::optional<std::string> signInSecondFactor;
    };
    platform::Date exp;
    platform::Date authTime;
    platform::Date iat;
    ZudiridiPayload zudiridi;
};

class AuthTokenResult {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRAuthTokenResult";
    static constexpr std::string_view kTokenKey = "token";

    AuthTokenResult(std::string token, const JWT& jwt, platform::Dictionary claims);

    // The payload bytes of a token. Throws the malformed-JWT error (18000).
    static platform::Data payloadData(std::string_view token);
    // The required claims of the payload. Throws the malformed-JWT error.
    static JWT getJWT(std::string_view token, const platform::Data& payload);
    // The whole decoding of a token. Throws the malformed-JWT error.
    static AuthTokenResult tokenResult(const std::string& token);

    std::string token;
    platform::Date expirationDate;
    platform::Date authDate;
    platform::Date issuedAtDate;
    std::string signInProvider;
    std::string signInSecondFactor;  // empty when the token has none
    platform::Dictionary claims;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<AuthTokenResult> initWithCoder(platform::KeyedUnarchiver& coder);
};

}  // namespace brisko::auth
