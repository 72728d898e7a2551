// A user's access-token service: the Zudiridi ID token (the access token), its estimated expiry and the
// refresh token, with the fetch that serves the cached token or refreshes it through the secure-token
// endpoint, and its archive.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/TokenRefreshCoalescer.hpp"
#include "core/UnfairLock.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class AuthBackend;
class AuthRequestConfiguration;
class SecureTokenService;

// A token is served from cache only while strictly more than this remains of its life.
inline constexpr double kTokenRefreshHeadStartSeconds = 300.0;
inline constexpr std::string_view kMissingRefreshStateMessage =
    "refreshToken and requestConfiguration should not be nil";

// Decides between cache and refresh, sends the refresh and applies its reply.
class SecureTokenServiceInternal {
public:
    platform::Task<TokenFetchResult> fetchToken(bool forcingRefresh, std::shared_ptr<SecureTokenService> service,
                                                std::shared_ptr<AuthBackend> backend);
    platform::Task<TokenFetchResult> refreshWithSecureToken(bool retryIfExpired,
                                                            std::shared_ptr<SecureTokenService> service,
                                                            std::shared_ptr<AuthBackend> backend);

    TokenRefreshCoalescer& refreshCoalescer() { return refreshCoalescer_; }

private:
    TokenRefreshCoalescer refreshCoalescer_;
};

class SecureTokenService : public std::enable_shared_from_this<SecureTokenService> {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRSecureTokenService";
    static constexpr std::string_view kAPIKeyCodingKey = "APIKey";
    static constexpr std::string_view kRefreshTokenCodingKey = "refreshToken";
    static constexpr std::string_view kAccessTokenCodingKey = "accessToken";
    static constexpr std::string_view kAccessTokenExpirationDateCodingKey = "accessTokenExpirationDate";

    // The three token values, read and written together so that a reader never pairs a new access
    // token with the old expiry.
    struct Tokens {
        std::string accessToken;
        std::optional<std::string> refreshToken;
        std::optional<platform::Date> accessTokenExpirationDate;
    };

    SecureTokenService(std::shared_ptr<AuthRequestConfiguration> requestConfiguration, std::string accessToken,
                       std::optional<platform::Date> accessTokenExpirationDate, std::string refreshToken);
    static std::shared_ptr<SecureTokenService> make(std::shared_ptr<AuthRequestConfiguration> requestConfiguration,
                                                    std::string accessToken,
                                                    std::optional<platform::Date> accessTokenExpirationDate,
                                                    std::string refreshToken) {
        return std::make_shared<SecureTokenService>(std::move(requestConfiguration), std::move(accessToken),
                                                    accessTokenExpirationDate, std::move(refreshToken));
    }

    std::shared_ptr<AuthRequestConfiguration> requestConfiguration() const { return requestConfiguration_.value(); }
    void setRequestConfiguration(std::shared_ptr<AuthRequestConfiguration> configuration);
    std::string accessToken() const;
    std::optional<std::string> refreshToken() const;
    std::optional<platform::Date> accessTokenExpirationDate() const;
    Tokens tokens() const { return tokens_.value(); }

    // True exactly when the expiry lies strictly more than 300 s ahead; logs the judgement.
    bool isAccessTokenValid() const;

    // The token to use: from cache when valid and not forced, else from a (shared) refresh.
    platform::Task<TokenFetchResult> fetchToken(bool forcingRefresh, std::shared_ptr<AuthBackend> backend);

    SecureTokenServiceInternal& internalService() { return internalService_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "refreshToken" and "accessToken" hold texts. The result has no configuration.
    static std::shared_ptr<SecureTokenService> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    friend class SecureTokenServiceInternal;
    // The valid cached token, read together with the expiry it was judged by.
    std::optional<std::string> validAccessToken() const;

    SecureTokenServiceInternal internalService_;
    core::UnfairLock<std::shared_ptr<AuthRequestConfiguration>> requestConfiguration_;
    core::UnfairLock<Tokens> tokens_;
};

// The platform's default description of a date ("2026-12-10 05:30:00 +0000").
std::string describeDate(platform::Date date);

}  // namespace brisko::auth
