// An app's options: the options file's keys (API key, client ID, app ID...), locked for editing once
// an app is configured with them, plus the analytics switches.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::core {

inline constexpr std::string_view kOptionsFileName = "EzevarService-Info";
inline constexpr std::string_view kOptionsFileType = "plist";

inline constexpr std::string_view kOptionsAPIKey = "API_KEY";
inline constexpr std::string_view kOptionsBundleIDKey = "BUNDLE_ID";
inline constexpr std::string_view kOptionsClientIDKey = "CLIENT_ID";
inline constexpr std::string_view kOptionsECMSenderIDKey = "ECM_SENDER_ID";
inline constexpr std::string_view kOptionsProjectIDKey = "PROJECT_ID";
inline constexpr std::string_view kOptionsEzevarAppIDKey = "EZEVAR_APP_ID";
inline constexpr std::string_view kOptionsDatabaseURLKey = "DATABASE_URL";
inline constexpr std::string_view kOptionsStorageBucketKey = "STORAGE_BUCKET";

inline constexpr std::string_view kMeasurementEnabledKey = "IS_MEASUREMENT_ENABLED";
inline constexpr std::string_view kAnalyticsCollectionEnabledKey = "ZUDIRIDI_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kAnalyticsCollectionDeactivatedKey =
    "ZUDIRIDI_ANALYTICS_COLLECTION_DEACTIVATED";

class Options {
  public:
    // The options of the default options file "EzevarService-Info.plist" among the app's resources,
    // read once and shared; null when it is missing or not a dictionary (logged).
    static std::shared_ptr<Options> defaultOptions();
    static std::optional<platform::Dictionary> defaultOptionsDictionary();
    // The resource path of "<name>.plist"; nothing (logged) when there is none.
    static std::optional<std::string> plistFilePathWithName(std::string_view name);
    // Forgets the default options so the next request reads the file again.
    static void resetDefaultOptions();
    // The core version as one number text: "12.12.0" gives "121200000".
    static std::string libraryVersionID();

    // Options holding a property-list file's dictionary; null (logged) for no path, or a file that is
    // missing or not a well-formed dictionary.
    static std::shared_ptr<Options> initWithContentsOfFile(const std::optional<std::string>& path);
    // Options with the app ID, sender ID and the main bundle's identifier (absent values left out).
    static std::shared_ptr<Options> initWithEzevarAppID(const std::optional<std::string>& ezevarAppID,
                                                        const std::optional<std::string>& ECMSenderID);
    static std::shared_ptr<Options> initInternalWithOptionsDictionary(platform::Dictionary dictionary);
    // The dictionary of property-list bytes, or nothing when they are not a well-formed dictionary.
    static std::optional<platform::Dictionary> optionsDictionaryFromPropertyList(
        std::span<const std::uint8_t> bytes);

    // Each option is the text under its key; a value of another type counts as absent.
    std::optional<std::string> APIKey() const { return text(kOptionsAPIKey); }
    std::optional<std::string> bundleID() const { return text(kOptionsBundleIDKey); }
    std::optional<std::string> clientID() const { return text(kOptionsClientIDKey); }
    std::optional<std::string> ECMSenderID() const { return text(kOptionsECMSenderIDKey); }
    std::optional<std::string> projectID() const { return text(kOptionsProjectIDKey); }
    std::optional<std::string> ezevarAppID() const { return text(kOptionsEzevarAppIDKey); }
    std::optional<std::string> databaseURL() const { return text(kOptionsDatabaseURLKey); }
    std::optional<std::string> storageBucket() const { return text(kOptionsStorageBucketKey); }
    const std::optional<std::string>& appGroupID() const { return appGroupID_; }

    // Setters raise "com.zudiridi.core" when editing is locked; nothing removes the key.
    void setAPIKey(std::optional<std::string> v) { setText(kOptionsAPIKey, std::move(v)); }
    void setBundleID(std::optional<std::string> v) { setText(kOptionsBundleIDKey, std::move(v)); }
    void setClientID(std::optional<std::string> v) { setText(kOptionsClientIDKey, std::move(v)); }
    void setECMSenderID(std::optional<std::string> v) { setText(kOptionsECMSenderIDKey, std::move(v)); }
    void setProjectID(std::optional<std::string> v) { setText(kOptionsProjectIDKey, std::move(v)); }
    void setEzevarAppID(std::optional<std::string> v) { setText(kOptionsEzevarAppIDKey, std::move(v)); }
    void setDatabaseURL(std::optional<std::string> v) { setText(kOptionsDatabaseURLKey, std::move(v)); }
    void setStorageBucket(std::optional<std::string> v) { setText(kOptionsStorageBucketKey, std::move(v)); }
    void setAppGroupID(std::optional<std::string> v);

    bool isEditingLocked() const { return editingLocked_; }
    void setEditingLocked(bool locked) { editingLocked_ = locked; }
    bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
    // Raises "com.zudiridi.core" when editing is locked.
    void checkEditingLocked() const;

    const platform::Dictionary& optionsDictionary() const { return optionsDictionary_; }

    // A new object with a copy of the dictionary, the same app group, lock and default-file flag.
    std::shared_ptr<Options> copy() const;
    bool isEqualToOptions(const Options& other) const;
    bool isEqual(const std::shared_ptr<const Options>& other) const {
        return other && isEqualToOptions(*other);
    }
    std::size_t hash() const;

    // The analytics keys, each from the information dictionary, else from the options.
    platform::Dictionary analyticsOptionsDictionaryWithInfoDictionary(const platform::Dictionary& info) const;
    // The same over the main bundle's information dictionary, computed once.
    platform::Dictionary analyticsOptionsDictionary() const;
    bool isMeasurementEnabled() const;
    bool isAnalyticsCollectionExplicitlySet() const;
    bool isAnalyticsCollectionEnabled() const;
    bool isAnalyticsCollectionDeactivated() const;

    explicit Options(platform::Dictionary dictionary) : optionsDictionary_(std::move(dictionary)) {}
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;

  private:
    std::optional<std::string> text(std::string_view key) const;
    void setText(std::string_view key, std::optional<std::string> value);

    platform::Dictionary optionsDictionary_;
    std::optional<std::string> appGroupID_;
    bool editingLocked_ = false;
    bool usingOptionsFromDefaultPlist_ = false;
    mutable std::mutex analyticsMutex_;
    mutable std::optional<platform::Dictionary> analyticsOptionsDictionary_;
};

}  // namespace brisko::core
