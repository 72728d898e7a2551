// Sign-in results and their archives.
#include "auth/AuthDataResult.hpp"

#include "auth/User.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/OAuthCredential.hpp"

namespace brisko::auth {

void AdditionalUserInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(providerID_), kProviderIDCodingKey);
    if (profile_) coder.encodeObject(platform::Value(*profile_), kProfileCodingKey);
    coding::encodeText(coder, username_, kUsernameCodingKey);
    coder.encodeObject(platform::Value(isNewUser_ ? 1 : 0), kNewUserCodingKey);
}

std::shared_ptr<AdditionalUserInfo> AdditionalUserInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto providerID = coder.decodeObjectOfClass<std::string>(kProviderIDCodingKey);
    if (!providerID) return nullptr;
    // A profile holds any JSON the provider sent: its nested values are plain property-list values.
    auto profileValue = coder.decodeObjectOfClasses(
        {std::string(platform::kArchiveClassDictionary), std::string(platform::kArchiveClassString),
         std::string(platform::kArchiveClassArray), std::string(platform::kArchiveClassNumber)},
        kProfileCodingKey);
    std::optional<platform::Dictionary> profile;
    if (auto* dictionary = profileValue.dictionary()) profile = *dictionary;
    auto username = coding::decodeText(coder, kUsernameCodingKey);
    auto newUser = coder.decodeObjectOfClass<platform::ArchiveNumber>(kNewUserCodingKey);
    const bool isNewUser = newUser && newUser->integer() == 1;
    return std::make_shared<AdditionalUserInfo>(std::move(*providerID), std::move(profile), std::move(username),
                                                isNewUser);
}

AuthDataResult::AuthDataResult(std::shared_ptr<User> user, std::shared_ptr<AdditionalUserInfo> additionalUserInfo,
                               std::shared_ptr<OAuthCredential> credential)
    : user_(std::move(user)), additionalUserInfo_(std::move(additionalUserInfo)), credential_(std::move(credential)) {}

void AuthDataResult::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(user_, kUserCodingKey);
    coder.encodeObject(additionalUserInfo_, kAdditionalUserInfoCodingKey);
    coder.encodeObject(credential_, kCredentialCodingKey);
}

std::shared_ptr<AuthDataResult> AuthDataResult::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto user = coder.decodeObjectOfClass<User>(kUserCodingKey);
    if (!user) return nullptr;
    return std::make_shared<AuthDataResult>(std::move(user),
                                            coder.decodeObjectOfClass<AdditionalUserInfo>(kAdditionalUserInfoCodingKey),
                                            coder.decodeObjectOfClass<OAuthCredential>(kCredentialCodingKey));
}

}  // namespace brisko::auth
