// The DeviceCheck provider: a device token from the platform's DeviceCheck service, exchanged behind the
// backoff wrapper; and the device-token generator it runs over, which Linux does not have.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "attestation/AppVouchBackoffWrapper.hpp"
#include "attestation/AppVouchEndpointServices.hpp"
#include "attestation/AppVouchProvider.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kDeviceCheckProviderName = "DeviceCheckProvider";

// The platform's DeviceCheck device: whether it can make device tokens, and making one.
class DeviceCheckTokenGenerator {
public:
    using TokenCompletion = std::function<void(std::optional<platform::Data>, std::optional<Error>)>;
    virtual ~DeviceCheckTokenGenerator() = default;
    virtual bool isSupported() const = 0;
    virtual void generateTokenWithCompletionHandler(TokenCompletion completion) = 0;
};

// The current device. Linux has no DeviceCheck service: it is not supported, and a token request fails
// with the platform's feature-unsupported error.
std::shared_ptr<DeviceCheckTokenGenerator> currentDeviceCheckDevice();

class DeviceCheckProvider : public AppVouchProvider, public std::enable_shared_from_this<DeviceCheckProvider> {
public:
    DeviceCheckProvider(std::shared_ptr<DeviceCheckAPIServiceProtocol> APIService,
                        std::shared_ptr<DeviceCheckTokenGenerator> deviceTokenGenerator,
                        std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper);
    explicit DeviceCheckProvider(std::shared_ptr<DeviceCheckAPIServiceProtocol> APIService);
    static std::shared_ptr<DeviceCheckProvider> initWithServiceName(const std::string& serviceName,
                                                                    const std::string& resourceName,
                                                                    std::optional<std::string> APIKey,
                                                                    std::vector<RequestHook> requestHooks = {});

    void getTokenWithCompletion(TokenCompletion completion) override {
        getTokenWithLimitedUse(false, std::move(completion));
    }
    void getLimitedUseTokenWithCompletion(TokenCompletion completion) override {
        getTokenWithLimitedUse(true, std::move(completion));
    }
    void getTokenWithLimitedUse(bool limitedUse, TokenCompletion completion);

    Promise<AppVouchToken> getTokenPromiseWithLimitedUse(bool limitedUse);
    Promise<platform::Data> deviceToken();
    Promise<promises::Nothing> isDeviceCheckSupported();

private:
    std::shared_ptr<DeviceCheckAPIServiceProtocol> APIService_;
    std::shared_ptr<DeviceCheckTokenGenerator> deviceTokenGenerator_;
    std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper_;
};

}  // namespace brisko::attestation
