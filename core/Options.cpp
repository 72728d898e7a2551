// Options: the default options file, reading a property-list file, the editing lock, equality and the
// analytics switches.
#include "core/Options.hpp"

#include <functional>

#include "core/App.hpp"
#include "core/BundleUtil.hpp"
#include "core/CoreLogger.hpp"
#include "core/NumberValue.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/storage/PropertyList.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kNotADictionaryCode = "I-COR000011";
constexpr std::string_view kNotADictionaryMessage = "The configuration file is not a dictionary: '%@.%@'.";
constexpr std::string_view kFileNotFoundCode = "I-COR000012";
constexpr std::string_view kFileNotFoundMessage = "Could not locate configuration file: '%@.%@'.";
constexpr std::string_view kNilPathCode = "I-COR000013";
constexpr std::string_view kNilPathMessage = "The plist file path is nil.";
constexpr std::string_view kMalformedFileCode = "I-COR000014";
constexpr std::string_view kMalformedFileMessage =
    "The configuration file at %@ does not exist or is not a well-formed plist file.";
constexpr std::string_view kEditingLockedReason =
    "Attempted to modify options after it's set on ZIRApp. Please modify all properties before initializing "
    "ZIRApp.";

struct DefaultOptionsState {
    std::mutex mutex;
    bool dictionaryRead = false;
    std::optional<platform::Dictionary> dictionary;
    bool optionsMade = false;
    std::shared_ptr<Options> options;
};

DefaultOptionsState& defaults() {
    static DefaultOptionsState state;
    return state;
}

std::optional<platform::Dictionary> readDictionaryFile(const std::string& path) {
    try {
        auto value = platform::PropertyList::readFile(path);
        if (auto* dictionary = value.dictionary()) return std::move(*dictionary);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<platform::Dictionary> readDefaultDictionary() {
    auto path = Options::plistFilePathWithName(kOptionsFileName);
    if (!path) return std::nullopt;
    auto dictionary = readDictionaryFile(*path);
    if (!dictionary) {
        CoreLogger::logError(kLoggerServiceCore, kNotADictionaryCode, kNotADictionaryMessage,
                             {kOptionsFileName, kOptionsFileType});
    }
    return dictionary;
}

std::optional<bool> booleanOf(const platform::Dictionary& dictionary, std::string_view key) {
    auto it = dictionary.find(key);
    return booleanOfNumber(it == dictionary.end() ? nullptr : &it->second);
}

}  // namespace

std::optional<platform::Dictionary> Options::defaultOptionsDictionary() {
    auto& state = defaults();
    std::lock_guard lock(state.mutex);
    if (!state.dictionaryRead) {
        state.dictionary = readDefaultDictionary();
        state.dictionaryRead = true;
    }
    return state.dictionary;
}

std::shared_ptr<Options> Options::defaultOptions() {
    auto dictionary = defaultOptionsDictionary();
    auto& state = defaults();
    std::lock_guard lock(state.mutex);
    if (!state.optionsMade) {
        if (dictionary) state.options = initInternalWithOptionsDictionary(std::move(*dictionary));
        state.optionsMade = true;
    }
    return state.options;
}

void Options::resetDefaultOptions() {
    auto& state = defaults();
    std::lock_guard lock(state.mutex);
    state.dictionaryRead = false;
    state.dictionary.reset();
    state.optionsMade = false;
    state.options.reset();
}

std::optional<std::string> Options::plistFilePathWithName(std::string_view name) {
    auto path = BundleUtil::optionsDictionaryPathWithResourceName(name, kOptionsFileType,
                                                                  BundleUtil::relevantBundles());
    if (!path)
        CoreLogger::logError(kLoggerServiceCore, kFileNotFoundCode, kFileNotFoundMessage,
                             {name, kOptionsFileType});
    return path;
}

std::string Options::libraryVersionID() {
    static const std::string kID = [] {
        std::string parts[3];
        std::string_view version = kCoreLibraryVersion;
        for (auto& part : parts) {
            auto dot = version.find('.');
            part = std::string(version.substr(0, dot));
            version = dot == std::string_view::npos ? std::string_view{} : version.substr(dot + 1);
        }
        auto number = [](const std::string& s) { return std::atoi(s.c_str()); };
        return platform::format("%02d%02d%02d000", {number(parts[0]), number(parts[1]), number(parts[2])});
    }();
    return kID;
}

std::shared_ptr<Options> Options::initWithContentsOfFile(const std::optional<std::string>& path) {
    if (!path) {
        CoreLogger::logError(kLoggerServiceCore, kNilPathCode, kNilPathMessage);
        return nullptr;
    }
    auto dictionary = readDictionaryFile(*path);
    if (!dictionary) {
        CoreLogger::logError(kLoggerServiceCore, kMalformedFileCode, kMalformedFileMessage, {*path});
        return nullptr;
    }
    return std::make_shared<Options>(std::move(*dictionary));
}

std::optional<platform::Dictionary> Options::optionsDictionaryFromPropertyList(
    std::span<const std::uint8_t> bytes) {
    try {
        auto value = platform::PropertyList::read(bytes);
        if (auto* dictionary = value.dictionary()) return std::move(*dictionary);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::shared_ptr<Options> Options::initWithEzevarAppID(const std::optional<std::string>& ezevarAppID,
                                                      const std::optional<std::string>& ECMSenderID) {
    platform::Dictionary dictionary;
    if (ezevarAppID) dictionary.emplace(std::string(kOptionsEzevarAppIDKey), *ezevarAppID);
    if (ECMSenderID) dictionary.emplace(std::string(kOptionsECMSenderIDKey), *ECMSenderID);
    if (auto bundleID = platform::Bundle::main()->bundleIdentifier()) {
        dictionary.emplace(std::string(kOptionsBundleIDKey), *bundleID);
    }
    return std::make_shared<Options>(std::move(dictionary));
}

std::shared_ptr<Options> Options::initInternalWithOptionsDictionary(platform::Dictionary dictionary) {
    auto options = std::make_shared<Options>(std::move(dictionary));
    options->usingOptionsFromDefaultPlist_ = true;
    return options;
}

std::optional<std::string> Options::text(std::string_view key) const {
    auto it = optionsDictionary_.find(key);
    if (it == optionsDictionary_.end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

void Options::setText(std::string_view key, std::optional<std::string> value) {
    checkEditingLocked();
    if (value) {
        optionsDictionary_.insert_or_assign(std::string(key), std::move(*value));
    } else if (auto it = optionsDictionary_.find(key); it != optionsDictionary_.end()) {
        optionsDictionary_.erase(it);
    }
}

void Options::setAppGroupID(std::optional<std::string> value) {
    checkEditingLocked();
    appGroupID_ = std::move(value);
}

void Options::checkEditingLocked() const {
    if (editingLocked_)
        throw platform::ProgrammingException(std::string(kCoreExceptionName),
                                             std::string(kEditingLockedReason));
}

std::shared_ptr<Options> Options::copy() const {
    auto copied = std::make_shared<Options>(optionsDictionary_);
    copied->appGroupID_ = appGroupID_;
    copied->editingLocked_ = editingLocked_;
    copied->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
    return copied;
}

bool Options::isEqualToOptions(const Options& other) const {
    if (optionsDictionary_ != other.optionsDictionary_) return false;
    if ((appGroupID_ || other.appGroupID_) && appGroupID_ != other.appGroupID_) return false;
    return analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

std::size_t Options::hash() const {
    const std::size_t dictionaryHash =
        std::hash<std::string>{}(platform::Value(optionsDictionary_).description());
    const std::size_t groupHash = appGroupID_ ? std::hash<std::string>{}(*appGroupID_) : 0;
    return dictionaryHash ^ groupHash;
}

platform::Dictionary Options::analyticsOptionsDictionaryWithInfoDictionary(
    const platform::Dictionary& info) const {
    platform::Dictionary result;
    for (auto key :
         {kMeasurementEnabledKey, kAnalyticsCollectionEnabledKey, kAnalyticsCollectionDeactivatedKey}) {
        if (auto it = info.find(key); it != info.end()) {
            result.emplace(std::string(key), it->second);
        } else if (auto own = optionsDictionary_.find(key); own != optionsDictionary_.end()) {
            result.emplace(std::string(key), own->second);
        }
    }
    return result;
}

platform::Dictionary Options::analyticsOptionsDictionary() const {
    std::lock_guard lock(analyticsMutex_);
    if (!analyticsOptionsDictionary_) {
        analyticsOptionsDictionary_ =
            analyticsOptionsDictionaryWithInfoDictionary(platform::Bundle::main()->infoDictionary());
    }
    return *analyticsOptionsDictionary_;
}

bool Options::isAnalyticsCollectionDeactivated() const {
    return booleanOf(analyticsOptionsDictionary(), kAnalyticsCollectionDeactivatedKey).value_or(false);
}

bool Options::isMeasurementEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    if (auto enabled = booleanOf(analyticsOptionsDictionary(), kMeasurementEnabledKey)) return *enabled;
    if (App::isDefaultAppConfigured()) {
        if (auto app = App::defaultApp()) return app->isDataCollectionDefaultEnabled();
    }
    return false;
}

bool Options::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    if (auto enabled = booleanOf(analyticsOptionsDictionary(), kAnalyticsCollectionEnabledKey))
        return *enabled;
    return isMeasurementEnabled();
}

bool Options::isAnalyticsCollectionExplicitlySet() const {
    if (isAnalyticsCollectionDeactivated()) return true;
    const auto analytics = analyticsOptionsDictionary();
    auto holdsNumber = [&](std::string_view key) { return booleanOf(analytics, key).has_value(); };
    return holdsNumber(kAnalyticsCollectionEnabledKey) || holdsNumber(kMeasurementEnabledKey);
}

}  // namespace brisko::core
