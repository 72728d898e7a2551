// Debug token choice and exchange.
#include "attestation/AppVouchDebugProvider.hpp"

#include "attestation/promises/Promises.hpp"
#include "core/UserDefaults.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/ProcessInfo.hpp"

namespace brisko::attestation {

std::string debugTokenFromUserDefaults() {
    const auto& defaults = core::UserDefaults::standardUserDefaults();
    if (auto stored = defaults->stringForKey(kDebugTokenUserDefaultsKey)) return *stored;
    std::string token = platform::crypto::uuidString();
    defaults->setObject(platform::Value(token), kDebugTokenUserDefaultsKey);
    return token;
}

AppVouchDebugProvider::AppVouchDebugProvider(std::shared_ptr<AppVouchDebugProviderAPIServiceProtocol> APIService)
    : APIService_(std::move(APIService)) {
    auto& process = platform::ProcessInfo::processInfo();
    const auto primary = process.environmentValue(kDebugTokenEnvironmentVariable);
    const auto fallback = process.environmentValue(kDebugTokenFallbackEnvironmentVariable);
    if (primary && !primary->empty() && fallback) {
        appVouchLog(kLogCodeDebugProviderEnvironmentToken, AppVouchLogLevel::warning,
                    platform::format(kBothDebugTokensSetFormat,
                                     {kDebugTokenEnvironmentVariable, kDebugTokenFallbackEnvironmentVariable,
                                      kDebugTokenEnvironmentVariable, kDebugTokenFallbackEnvironmentVariable}));
        debugTokenEnvValue_ = primary;
    } else if (primary && !primary->empty()) {
        appVouchLog(kLogCodeDebugProviderAppVouchDebugToken, AppVouchLogLevel::debug,
                    platform::format(kUsingEnvironmentDebugTokenFormat, {kDebugTokenEnvironmentVariable}));
        debugTokenEnvValue_ = primary;
    } else if (fallback) {
        appVouchLog(kLogCodeDebugProviderEnvironmentToken, AppVouchLogLevel::debug,
                    platform::format(kUsingEnvironmentDebugTokenFormat, {kDebugTokenFallbackEnvironmentVariable}));
        debugTokenEnvValue_ = fallback;
    } else {
        // The debug token is meant to be copied from the log into the backend's allow list.
        appVouchLog(kLogCodeDebugProviderLocalToken, AppVouchLogLevel::warning,
                    platform::format(kLocalDebugTokenFormat, {localDebugToken()}));
    }
}

std::shared_ptr<AppVouchDebugProvider>
AppVouchDebugProvider::initWithServiceName(const std::string&, const std::string& resourceName,
                                           std::optional<std::string> baseURL, std::optional<std::string> APIKey,
                                           std::vector<RequestHook> requestHooks) {
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::move(baseURL), std::move(APIKey),
                                                    std::move(requestHooks));
    return std::make_shared<AppVouchDebugProvider>(
        std::make_shared<AppVouchDebugProviderAPIService>(std::move(api), resourceName));
}

std::string AppVouchDebugProvider::currentDebugToken() const {
    return debugTokenEnvValue_ ? *debugTokenEnvValue_ : localDebugToken();
}

void AppVouchDebugProvider::getTokenWithLimitedUse(bool limitedUse, TokenCompletion completion) {
    auto api = APIService_;
    auto token = promises::Promise<std::string>::do_(
                     [env = debugTokenEnvValue_] { return env ? *env : debugTokenFromUserDefaults(); })
                     .then([api, limitedUse](const std::string& debugToken) {
                         return api->appVouchTokenWithDebugToken(debugToken, limitedUse);
                     })
                     .catch_([](const Error& error) {
                         appVouchLog(kLogCodeDebugProviderFailedExchange, AppVouchLogLevel::debug,
                                     platform::format(kDebugTokenExchangeFailedFormat, {error}));
                     });
    detail::completeWith(token, std::move(completion));
}

}  // namespace brisko::attestation
