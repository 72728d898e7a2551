// The identity client's user-defaults domain.
#include "auth/AuthUserDefaults.hpp"

namespace brisko::auth {

AuthUserDefaults::AuthUserDefaults(std::string_view service)
    : persistentDomainName_(std::string(kUserDefaultsDomainPrefix) + std::string(service)),
      storage_(std::make_shared<platform::UserDefaults>()) {}

std::optional<platform::Data> AuthUserDefaults::readData(std::string_view key) const {
    auto domain = storage_->persistentDomainForName(persistentDomainName_);
    if (!domain) return std::nullopt;
    auto it = domain->find(key);
    if (it == domain->end() || !it->second.data()) return std::nullopt;
    return *it->second.data();
}

void AuthUserDefaults::writeData(const platform::Data& data, std::string_view key) {
    auto domain = storage_->persistentDomainForName(persistentDomainName_).value_or(platform::Dictionary{});
    domain[std::string(key)] = platform::Value(data);
    storage_->setPersistentDomain(std::move(domain), persistentDomainName_);
}

void AuthUserDefaults::deleteData(std::string_view key) {
    auto domain = storage_->persistentDomainForName(persistentDomainName_);
    if (!domain) return;
    if (auto it = domain->find(key); it != domain->end()) domain->erase(it);
    storage_->setPersistentDomain(std::move(*domain), persistentDomainName_);
}

}  // namespace brisko::auth
