// DeviceCheck token requests: support check, device token, exchange, all behind the backoff wrapper.
#include "attestation/DeviceCheckProvider.hpp"

namespace brisko::attestation {

namespace {

class UnsupportedDeviceCheckDevice final : public DeviceCheckTokenGenerator {
public:
    bool isSupported() const override { return false; }
    void generateTokenWithCompletionHandler(TokenCompletion completion) override {
        completion(std::nullopt, Error(std::string(kDeviceCheckErrorDomain), kDCErrorFeatureUnsupported));
    }
};

}  // namespace

std::shared_ptr<DeviceCheckTokenGenerator> currentDeviceCheckDevice() {
    static const auto device = std::make_shared<UnsupportedDeviceCheckDevice>();
    return device;
}

DeviceCheckProvider::DeviceCheckProvider(std::shared_ptr<DeviceCheckAPIServiceProtocol> APIService,
                                         std::shared_ptr<DeviceCheckTokenGenerator> deviceTokenGenerator,
                                         std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper)
    : APIService_(std::move(APIService)), deviceTokenGenerator_(std::move(deviceTokenGenerator)),
      backoffWrapper_(std::move(backoffWrapper)) {}

DeviceCheckProvider::DeviceCheckProvider(std::shared_ptr<DeviceCheckAPIServiceProtocol> APIService)
    : DeviceCheckProvider(std::move(APIService), currentDeviceCheckDevice(),
                          std::make_shared<AppVouchBackoffWrapper>()) {}

std::shared_ptr<DeviceCheckProvider> DeviceCheckProvider::initWithServiceName(const std::string&,
                                                                              const std::string& resourceName,
                                                                              std::optional<std::string> APIKey,
                                                                              std::vector<RequestHook> requestHooks) {
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::nullopt, std::move(APIKey),
                                                    std::move(requestHooks));
    return std::make_shared<DeviceCheckProvider>(std::make_shared<DeviceCheckAPIService>(std::move(api), resourceName));
}

Promise<promises::Nothing> DeviceCheckProvider::isDeviceCheckSupported() {
    if (deviceTokenGenerator_->isSupported()) return Promise<promises::Nothing>::resolvedWith(promises::Nothing{});
    return Promise<promises::Nothing>::resolvedWith(
        AppVouchErrorUtil::unsupportedAttestationProvider(kDeviceCheckProviderName));
}

Promise<platform::Data> DeviceCheckProvider::deviceToken() {
    auto generator = deviceTokenGenerator_;
    return promises::wrapObjectOrErrorCompletion<platform::Data>(
        promises::defaultDispatchQueue(), [generator](auto handler) {
            generator->generateTokenWithCompletionHandler(
                [handler](std::optional<platform::Data> token, std::optional<Error> error) {
                    handler(token ? std::move(*token) : platform::Data{}, std::move(error));
                });
        });
}

Promise<AppVouchToken> DeviceCheckProvider::getTokenPromiseWithLimitedUse(bool limitedUse) {
    auto self = shared_from_this();
    return isDeviceCheckSupported()
        .then([self](const promises::Nothing&) { return self->deviceToken(); })
        .then([self, limitedUse](const platform::Data& token) {
            return self->APIService_->appVouchTokenWithDeviceToken(token, limitedUse);
        });
}

void DeviceCheckProvider::getTokenWithLimitedUse(bool limitedUse, TokenCompletion completion) {
    auto self = shared_from_this();
    auto token = backoffWrapper_->applyBackoffToOperation<AppVouchToken>(
        [self, limitedUse] { return self->getTokenPromiseWithLimitedUse(limitedUse); },
        AppVouchBackoffWrapper::defaultAppVouchProviderErrorHandler());
    detail::completeWith(token, std::move(completion));
}

}  // namespace brisko::attestation
