// The debug provider: exchanges a debug token (from the environment, else a local one kept in the
// standard user defaults) for an attestation token.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attestation/AppVouchEndpointServices.hpp"
#include "attestation/AppVouchProvider.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kDebugTokenEnvironmentVariable = "AppVouchDebugToken";
inline constexpr std::string_view kDebugTokenFallbackEnvironmentVariable = "ZIRAAppVouchDebugToken";
inline constexpr std::string_view kDebugTokenUserDefaultsKey = "EAVAppVouchDebugToken";
inline constexpr std::string_view kBothDebugTokensSetFormat =
    "The environment variables %@ and %@ are both set; using the debug token specified in %@ and ignoring the "
    "value of %@.";
inline constexpr std::string_view kUsingEnvironmentDebugTokenFormat =
    "Using the debug token specified in the environment variable %@.";
inline constexpr std::string_view kLocalDebugTokenFormat = "App Vouch debug token: '%@'.";
inline constexpr std::string_view kDebugTokenExchangeFailedFormat =
    "Failed to exchange debug token to app check token: %@";

// The local debug token: the one stored in the standard user defaults, else a new random UUID stored there.
std::string debugTokenFromUserDefaults();

class AppVouchDebugProvider : public AppVouchProvider {
public:
    // Chooses the debug token from the environment (or the local one) and logs which.
    explicit AppVouchDebugProvider(std::shared_ptr<AppVouchDebugProviderAPIServiceProtocol> APIService);
    static std::shared_ptr<AppVouchDebugProvider> initWithServiceName(const std::string& serviceName,
                                                                      const std::string& resourceName,
                                                                      std::optional<std::string> baseURL,
                                                                      std::optional<std::string> APIKey,
                                                                      std::vector<RequestHook> requestHooks = {});

    void getTokenWithCompletion(TokenCompletion completion) override {
        getTokenWithLimitedUse(false, std::move(completion));
    }
    void getLimitedUseTokenWithCompletion(TokenCompletion completion) override {
        getTokenWithLimitedUse(true, std::move(completion));
    }
    void getTokenWithLimitedUse(bool limitedUse, TokenCompletion completion);

    std::string currentDebugToken() const;
    std::string localDebugToken() const { return debugTokenFromUserDefaults(); }
    const std::optional<std::string>& debugTokenEnvValue() const { return debugTokenEnvValue_; }
    const std::shared_ptr<AppVouchDebugProviderAPIServiceProtocol>& APIService() const { return APIService_; }

private:
    std::shared_ptr<AppVouchDebugProviderAPIServiceProtocol> APIService_;
    std::optional<std::string> debugTokenEnvValue_;
};

}  // namespace brisko::attestation
