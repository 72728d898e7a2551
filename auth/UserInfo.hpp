// One identity provider's view of an account (the provider-profile protocol) and the account's sign-in
// dates, both archived with the user.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/net/URL.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class UserInfo {
public:
    virtual ~UserInfo() = default;
    virtual std::string providerID() const = 0;
    virtual std::string uid() const = 0;
    virtual std::optional<std::string> displayName() const = 0;
    virtual std::optional<platform::URL> photoURL() const = 0;
    virtual std::optional<std::string> email() const = 0;
    virtual std::optional<std::string> phoneNumber() const = 0;
};

// A provider profile as the service reported it. Made by the user's update and by decoding only, and
// not changed once it is in a user's provider map (the map is replaced whole).
class UserInfoImpl final : public UserInfo {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRUserInfoImpl";
    static constexpr std::string_view kProviderIDCodingKey = "providerID";
    static constexpr std::string_view kUserIDCodingKey = "userID";
    static constexpr std::string_view kDisplayNameCodingKey = "displayName";
    static constexpr std::string_view kPhotoURLCodingKey = "photoURL";
    static constexpr std::string_view kEmailCodingKey = "email";
    static constexpr std::string_view kPhoneNumberCodingKey = "phoneNumber";

    struct Fields {
        std::string providerID;
        std::string uid;
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
        std::optional<std::string> email;
        std::optional<std::string> phoneNumber;
    };
    explicit UserInfoImpl(Fields fields) : fields_(std::move(fields)) {}

    std::string providerID() const override { return fields_.providerID; }
    std::string uid() const override { return fields_.uid; }
    std::optional<std::string> displayName() const override { return fields_.displayName; }
    std::optional<platform::URL> photoURL() const override { return fields_.photoURL; }
    std::optional<std::string> email() const override { return fields_.email; }
    std::optional<std::string> phoneNumber() const override { return fields_.phoneNumber; }
    const Fields& fields() const { return fields_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Never fails: missing texts read as empty, missing optionals as absent.
    static std::shared_ptr<UserInfoImpl> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    Fields fields_;
};

class UserMetadata {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRUserMetadata";
    static constexpr std::string_view kCreationDateCodingKey = "creationDate";
    static constexpr std::string_view kLastSignInDateCodingKey = "lastSignInDate";

    UserMetadata(std::optional<platform::Date> lastSignInDate, std::optional<platform::Date> creationDate)
        : lastSignInDate_(lastSignInDate), creationDate_(creationDate) {}

    const std::optional<platform::Date>& lastSignInDate() const { return lastSignInDate_; }
    const std::optional<platform::Date>& creationDate() const { return creationDate_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<UserMetadata> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::optional<platform::Date> lastSignInDate_;
    std::optional<platform::Date> creationDate_;
};

// A URL in or out of an archive under the platform's URL class.
void encodeURL(platform::KeyedArchiver& coder, const std::optional<platform::URL>& url, std::string_view key);
std::optional<platform::URL> decodeURL(platform::KeyedUnarchiver& coder, std::string_view key);

}  // namespace brisko::auth
