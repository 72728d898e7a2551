// The scripted fake OpenID provider.
#include "tests/support/oidc/FakeOpenIDProvider.hpp"

#include <nlohmann/json.hpp>

#include "platform/base/Clock.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::testing {

FakeOpenIDProvider::FakeOpenIDProvider() {
    server_.on("POST", "/token", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        res.status = token_.status;
        res.set_content(token_.body, token_.contentType);
    });
    server_.on("POST", "/register", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        res.status = registration_.status;
        res.set_content(registration_.body, registration_.contentType);
    });
}

void FakeOpenIDProvider::replyToToken(int status, std::string body, std::string contentType) {
    std::lock_guard lock(mutex_);
    token_ = {status, std::move(body), std::move(contentType)};
}

void FakeOpenIDProvider::replyToRegistration(int status, std::string body, std::string contentType) {
    std::lock_guard lock(mutex_);
    registration_ = {status, std::move(body), std::move(contentType)};
}

platform::Dictionary FakeOpenIDProvider::validClaims(std::string_view clientID, std::optional<std::string> nonce) const {
    auto now = static_cast<std::int64_t>(platform::timeIntervalSince1970(platform::now()));
    platform::Dictionary claims{{"iss", issuer()},
                                {"sub", "user-1"},
                                {"aud", std::string(clientID)},
                                {"exp", now + 3600},
                                {"iat", now}};
    if (nonce) claims.emplace("nonce", *nonce);
    return claims;
}

std::string FakeOpenIDProvider::idToken(const platform::Dictionary& claims) {
    std::string header = R"({"alg":"RS256","typ":"JWT"})";
    std::string body = platform::Value(claims).toJSON().dump();
    return platform::crypto::base64URLEncode(header) + "." + platform::crypto::base64URLEncode(body) + ".c2lnbmF0dXJl";
}

std::string FakeOpenIDProvider::tokenReply(const std::optional<std::string>& idToken, std::string_view accessToken,
                                           std::optional<std::string> refreshToken) {
    nlohmann::json reply{{"access_token", accessToken}, {"token_type", "Bearer"}, {"expires_in", 3600}};
    if (idToken) reply["id_token"] = *idToken;
    if (refreshToken) reply["refresh_token"] = *refreshToken;
    return reply.dump();
}

}  // namespace brisko::testing
