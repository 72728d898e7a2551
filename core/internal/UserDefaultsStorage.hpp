// A heartbeat record kept as a data value under one key of a user-defaults suite.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/internal/Storage.hpp"

namespace brisko::platform {
class UserDefaults;
}

namespace brisko::core::internal {

class UserDefaultsStorage final : public Storage {
  public:
    UserDefaultsStorage(std::string suiteName, std::string key);

    const std::string& suiteName() const { return suiteName_; }
    const std::string& key() const { return key_; }

    // The stored data; a missing value is a read error.
    platform::Data read() override;
    // Stores the bytes, or removes the key for none; never fails.
    void write(const std::optional<platform::Data>& data) override;

  private:
    std::string suiteName_;
    std::string key_;
    std::shared_ptr<platform::UserDefaults> defaults_;
};

}  // namespace brisko::core::internal
