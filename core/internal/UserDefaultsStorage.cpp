// The user-defaults byte store.
#include "core/internal/UserDefaultsStorage.hpp"

#include "platform/storage/UserDefaults.hpp"

namespace brisko::core::internal {

UserDefaultsStorage::UserDefaultsStorage(std::string suiteName, std::string key)
    : suiteName_(std::move(suiteName)),
      key_(std::move(key)),
      defaults_(std::make_shared<platform::UserDefaults>(suiteName_)) {}

platform::Data UserDefaultsStorage::read() {
    auto data = defaults_->dataForKey(key_);
    if (!data) throw StorageError(StorageError::Kind::readError);
    return std::move(*data);
}

void UserDefaultsStorage::write(const std::optional<platform::Data>& data) {
    if (data) {
        defaults_->setObject(platform::Value(*data), key_);
    } else {
        defaults_->removeObjectForKey(key_);
    }
}

}  // namespace brisko::core::internal
