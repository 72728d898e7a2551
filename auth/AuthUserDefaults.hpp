// Data under a key inside one user-defaults persistent domain of the identity client.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::auth {

inline constexpr std::string_view kUserDefaultsDomainPrefix = "com.ezevar.Zudiridi.Auth.";

class AuthUserDefaults {
public:
    // The domain "com.ezevar.Zudiridi.Auth." followed by the keychain service name.
    explicit AuthUserDefaults(std::string_view service);

    const std::string& persistentDomainName() const { return persistentDomainName_; }
    std::optional<platform::Data> readData(std::string_view key) const;
    void writeData(const platform::Data& data, std::string_view key);
    void deleteData(std::string_view key);

private:
    std::string persistentDomainName_;
    std::shared_ptr<platform::UserDefaults> storage_;
};

}  // namespace brisko::auth
