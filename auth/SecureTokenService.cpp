// The access-token service: cache, shared refresh and archive.
#include "auth/SecureTokenService.hpp"

#include "auth/AuthLog.hpp"
#include "auth/AuthTokenResult.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/SecureTokenRequest.hpp"
#include "platform/base/Clock.hpp"

namespace brisko::auth {

namespace {
constexpr std::string_view kHasValidTokenMessage = "Has valid access token. Estimated expiration date:";
constexpr std::string_view kNoValidTokenMessage = "Does not have valid access token. Estimated expiration date:";
constexpr std::string_view kCurrentDateSeparator = ", current date: ";
constexpr std::string_view kFetchingNewTokenMessage = "Fetching new token from backend.";
constexpr std::string_view kUpdatedTokenMessage = "Updated access token. Estimated expiration date: ";

std::string describeOptionalDate(const std::optional<platform::Date>& date) {
    return date ? describeDate(*date) : std::string("nil");
}

double secondsFromNow(platform::Date date) {
    return std::chrono::duration<double>(date - platform::now()).count();
}
}  // namespace

std::string describeDate(platform::Date date) {
    return platform::formatDate(date, "yyyy-MM-dd HH:mm:ss Z", platform::TimeZone::utc);
}

SecureTokenService::SecureTokenService(std::shared_ptr<AuthRequestConfiguration> requestConfiguration,
                                       std::string accessToken, std::optional<platform::Date> expirationDate,
                                       std::string refreshToken)
    : requestConfiguration_(std::move(requestConfiguration)),
      tokens_(Tokens{std::move(accessToken), std::move(refreshToken), expirationDate}) {}

void SecureTokenService::setRequestConfiguration(std::shared_ptr<AuthRequestConfiguration> configuration) {
    requestConfiguration_.withLock([&](auto& value) { value = std::move(configuration); });
}

std::string SecureTokenService::accessToken() const {
    return tokens_.value().accessToken;
}

std::optional<std::string> SecureTokenService::refreshToken() const {
    return tokens_.value().refreshToken;
}

std::optional<platform::Date> SecureTokenService::accessTokenExpirationDate() const {
    return tokens_.value().accessTokenExpirationDate;
}

bool SecureTokenService::isAccessTokenValid() const {
    return validAccessToken().has_value();
}

std::optional<std::string> SecureTokenService::validAccessToken() const {
    const auto tokens = tokens_.value();
    const auto now = platform::now();
    const auto& expiry = tokens.accessTokenExpirationDate;
    const bool valid = expiry && std::chrono::duration<double>(*expiry - now).count() > kTokenRefreshHeadStartSeconds;
    authLog(kLogLevelDebug, kLogCodeToken,
            std::string(valid ? kHasValidTokenMessage : kNoValidTokenMessage) + describeOptionalDate(expiry) +
                std::string(kCurrentDateSeparator) + describeDate(now));
    if (!valid) return std::nullopt;
    return tokens.accessToken;
}

platform::Task<TokenFetchResult> SecureTokenService::fetchToken(bool forcingRefresh,
                                                                std::shared_ptr<AuthBackend> backend) {
    return internalService_.fetchToken(forcingRefresh, shared_from_this(), std::move(backend));
}

platform::Task<TokenFetchResult> SecureTokenServiceInternal::fetchToken(bool forcingRefresh,
                                                                        std::shared_ptr<SecureTokenService> service,
                                                                        std::shared_ptr<AuthBackend> backend) {
    if (!forcingRefresh) {
        if (auto token = service->validAccessToken()) co_return TokenFetchResult{std::move(token), false};
    }
    authLog(kLogLevelDebug, kLogCodeToken, kFetchingNewTokenMessage);
    auto current = service->accessToken();
    co_return co_await refreshCoalescer_.sharedRefresh(
        std::move(current), [this, service, backend]() { return refreshWithSecureToken(true, service, backend); });
}

platform::Task<TokenFetchResult>
SecureTokenServiceInternal::refreshWithSecureToken(bool retryIfExpired, std::shared_ptr<SecureTokenService> service,
                                                   std::shared_ptr<AuthBackend> backend) {
    const auto refreshToken = service->refreshToken();
    const auto configuration = service->requestConfiguration();
    // A user read from an archive outside any identity client has no configuration: report it to the
    // caller rather than stopping the process.
    if (!refreshToken || !configuration) {
        throw platform::ErrorException(AuthErrorUtils::makeError(
            AuthErrorCode::internalError, platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey),
                                                                std::string(kMissingRefreshStateMessage)}}));
    }

    auto request = SecureTokenRequest::refreshRequest(*refreshToken, configuration);
    const auto response = co_await backend->call(request);

    bool tokensChanged = false;
    const auto& newAccess = response.accessToken;
    if (newAccess && !newAccess->empty() && *newAccess != service->accessToken()) {
        if (retryIfExpired) {
            std::optional<platform::Date> expiry;
            try {
                expiry = AuthTokenResult::tokenResult(*newAccess).expirationDate;
            } catch (const platform::ErrorException&) {
                // A token that does not decode is taken without the check.
            }
            if (expiry && secondsFromNow(*expiry) <= kTokenRefreshHeadStartSeconds) {
                co_return co_await refreshWithSecureToken(false, service, backend);
            }
        }
    }
    // Applied in one step under the token lock, so replies of one service are applied one at a time.
    std::optional<std::string> updatedExpiryLine;
    service->tokens_.withLock([&](SecureTokenService::Tokens& tokens) {
        if (newAccess && !newAccess->empty() && *newAccess != tokens.accessToken) {
            tokens.accessToken = *newAccess;
            tokens.accessTokenExpirationDate = response.approximateExpirationDate;
            tokensChanged = true;
            updatedExpiryLine = describeOptionalDate(tokens.accessTokenExpirationDate);
        }
        if (response.refreshToken && response.refreshToken != tokens.refreshToken) {
            tokens.refreshToken = response.refreshToken;
            tokensChanged = true;
        }
    });
    if (updatedExpiryLine) {
        authLog(kLogLevelDebug, kLogCodeToken,
                std::string(kUpdatedTokenMessage) + *updatedExpiryLine + std::string(kCurrentDateSeparator) +
                    describeDate(platform::now()));
    }
    co_return TokenFetchResult{newAccess, tokensChanged};
}

void SecureTokenService::encodeWithCoder(platform::KeyedArchiver& coder) const {
    const auto tokens = tokens_.value();
    if (auto configuration = requestConfiguration())
        coder.encodeObject(platform::Value(configuration->apiKey()), kAPIKeyCodingKey);
    if (tokens.refreshToken) coder.encodeObject(platform::Value(*tokens.refreshToken), kRefreshTokenCodingKey);
    coder.encodeObject(platform::Value(tokens.accessToken), kAccessTokenCodingKey);
    if (tokens.accessTokenExpirationDate) {
        coder.encodeObject(platform::Value(*tokens.accessTokenExpirationDate), kAccessTokenExpirationDateCodingKey);
    }
}

std::shared_ptr<SecureTokenService> SecureTokenService::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto refreshToken = coder.decodeObjectOfClass<std::string>(kRefreshTokenCodingKey);
    if (!refreshToken) return nullptr;
    auto accessToken = coder.decodeObjectOfClass<std::string>(kAccessTokenCodingKey);
    if (!accessToken) return nullptr;
    auto expiry = coder.decodeObjectOfClass<platform::Date>(kAccessTokenExpirationDateCodingKey);
    return make(nullptr, std::move(*accessToken), expiry, std::move(*refreshToken));
}

}  // namespace brisko::auth
