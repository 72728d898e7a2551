// The Ezevar sign-in client configuration: client ID, server client ID, hosted domain, OpenID realm.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::signin {

class Configuration {
public:
    static constexpr std::string_view kArchiveClassName = "EIDConfiguration";

    explicit Configuration(std::string clientID, std::optional<std::string> serverClientID = std::nullopt,
                           std::optional<std::string> hostedDomain = std::nullopt,
                           std::optional<std::string> openIDRealm = std::nullopt)
        : clientID_(std::move(clientID)), serverClientID_(std::move(serverClientID)),
          hostedDomain_(std::move(hostedDomain)), openIDRealm_(std::move(openIDRealm)) {}

    const std::string& clientID() const { return clientID_; }
    const std::optional<std::string>& serverClientID() const { return serverClientID_; }
    const std::optional<std::string>& hostedDomain() const { return hostedDomain_; }
    const std::optional<std::string>& openIDRealm() const { return openIDRealm_; }

    bool operator==(const Configuration&) const = default;
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing when "clientID" is missing.
    static std::shared_ptr<Configuration> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::string clientID_;
    std::optional<std::string> serverClientID_;
    std::optional<std::string> hostedDomain_;
    std::optional<std::string> openIDRealm_;
};

}  // namespace brisko::signin
