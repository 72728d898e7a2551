// The user-defaults wrapper's checks and warnings.
#include "core/UserDefaults.hpp"

#include "core/NumberValue.hpp"
#include "core/UtilitiesLogger.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kCodeFormat = "I-EUL%06ld";
constexpr long kInvalidGetKeyCode = 1;
constexpr long kInvalidSetKeyCode = 2;
constexpr long kInvalidObjectCode = 3;
constexpr std::string_view kInvalidGetKeyMessage = "Cannot get object for invalid user default key.";
constexpr std::string_view kInvalidSetKeyMessage = "Cannot set object for invalid user default key.";
constexpr std::string_view kInvalidObjectMessage =
    "Cannot set invalid object to user defaults. Must be a string, number, array, dictionary, date, or data. "
    "Value: %@";

void warn(std::string_view category, long code, std::string_view message,
          std::initializer_list<platform::FormatArg> args = {}) {
    UtilitiesLogger::logCoded(kLoggerLevelWarning, category, kCodeFormat, code, message, args);
}

bool isAcceptedType(const platform::Value& value) {
    using T = platform::Value::Type;
    switch (value.type()) {
        case T::string:
        case T::boolean:
        case T::integer:
        case T::real:
        case T::array:
        case T::dictionary:
        case T::date:
        case T::data:
            return true;
        default:
            return false;
    }
}

}  // namespace

const std::shared_ptr<UserDefaults>& UserDefaults::standardUserDefaults() {
    static const auto kShared = std::make_shared<UserDefaults>(std::nullopt);
    return kShared;
}

UserDefaults::UserDefaults(const std::optional<std::string>& suiteName)
    : userDefaults_(suiteName && !suiteName->empty() ? std::make_shared<platform::UserDefaults>(*suiteName)
                                                     : platform::UserDefaults::standard()) {}

std::optional<platform::Value> UserDefaults::objectForKey(std::string_view key) const {
    if (key.empty()) {
        warn(kUserDefaultsGetCategory, kInvalidGetKeyCode, kInvalidGetKeyMessage);
        return std::nullopt;
    }
    return userDefaults_->objectForKey(key);
}

void UserDefaults::setObject(const std::optional<platform::Value>& object, std::string_view key) {
    if (key.empty()) {
        warn(kUserDefaultsSetCategory, kInvalidSetKeyCode, kInvalidSetKeyMessage);
        return;
    }
    if (!object || object->isNull()) {
        userDefaults_->removeObjectForKey(key);
        return;
    }
    if (!isAcceptedType(*object)) {
        warn(kUserDefaultsSetCategory, kInvalidObjectCode, kInvalidObjectMessage, {object->description()});
        return;
    }
    userDefaults_->setObject(*object, key);
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value) return 0;
    if (auto i = value->integer()) return *i;
    if (auto d = value->truncatedInteger()) return *d;
    if (auto b = value->boolean()) return *b ? 1 : 0;
    return 0;
}

float UserDefaults::floatForKey(std::string_view key) const {
    return static_cast<float>(doubleForKey(key));
}

double UserDefaults::doubleForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value) return 0;
    if (auto d = value->number()) return *d;
    if (auto b = value->boolean()) return *b ? 1 : 0;
    return 0;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    const auto value = objectForKey(key);
    return booleanOfNumber(value ? &*value : nullptr).value_or(false);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

std::optional<platform::Array> UserDefaults::arrayForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->array()) return std::nullopt;
    return *value->array();
}

std::optional<platform::Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->dictionary()) return std::nullopt;
    return *value->dictionary();
}

}  // namespace brisko::core
