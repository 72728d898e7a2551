// Provider profiles, sign-in dates and their archives.
#include "auth/UserInfo.hpp"

#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/GameCenterAuthCredential.hpp"

namespace brisko::auth {

void encodeURL(platform::KeyedArchiver& coder, const std::optional<platform::URL>& url, std::string_view key) {
    if (url) coder.encodeObject(std::make_shared<ArchivedURL>(ArchivedURL{*url}), key);
}

std::optional<platform::URL> decodeURL(platform::KeyedUnarchiver& coder, std::string_view key) {
    auto archived = coder.decodeObjectOfClass<ArchivedURL>(key);
    if (!archived) return std::nullopt;
    return archived->url;
}

void UserInfoImpl::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(fields_.providerID), kProviderIDCodingKey);
    coder.encodeObject(platform::Value(fields_.uid), kUserIDCodingKey);
    coding::encodeText(coder, fields_.displayName, kDisplayNameCodingKey);
    encodeURL(coder, fields_.photoURL, kPhotoURLCodingKey);
    coding::encodeText(coder, fields_.email, kEmailCodingKey);
    coding::encodeText(coder, fields_.phoneNumber, kPhoneNumberCodingKey);
}

std::shared_ptr<UserInfoImpl> UserInfoImpl::initWithCoder(platform::KeyedUnarchiver& coder) {
    Fields fields;
    fields.providerID = coding::decodeText(coder, kProviderIDCodingKey).value_or("");
    fields.uid = coding::decodeText(coder, kUserIDCodingKey).value_or("");
    fields.displayName = coding::decodeText(coder, kDisplayNameCodingKey);
    fields.photoURL = decodeURL(coder, kPhotoURLCodingKey);
    fields.email = coding::decodeText(coder, kEmailCodingKey);
    fields.phoneNumber = coding::decodeText(coder, kPhoneNumberCodingKey);
    return std::make_shared<UserInfoImpl>(std::move(fields));
}

void UserMetadata::encodeWithCoder(platform::KeyedArchiver& coder) const {
    if (creationDate_) coder.encodeObject(platform::Value(*creationDate_), kCreationDateCodingKey);
    if (lastSignInDate_) coder.encodeObject(platform::Value(*lastSignInDate_), kLastSignInDateCodingKey);
}

std::shared_ptr<UserMetadata> UserMetadata::initWithCoder(platform::KeyedUnarchiver& coder) {
    return std::make_shared<UserMetadata>(coder.decodeObjectOfClass<platform::Date>(kLastSignInDateCodingKey),
                                          coder.decodeObjectOfClass<platform::Date>(kCreationDateCodingKey));
}

}  // namespace brisko::auth
