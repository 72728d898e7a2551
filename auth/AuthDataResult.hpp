// The result of a sign-in, account creation, reauthentication or link: the user, the provider's
// information about this sign-in and the provider credential the service returned.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class OAuthCredential;
class User;

class AdditionalUserInfo {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRAdditionalUserInfo";
    static constexpr std::string_view kProviderIDCodingKey = "providerID";
    static constexpr std::string_view kProfileCodingKey = "profile";
    static constexpr std::string_view kUsernameCodingKey = "username";
    static constexpr std::string_view kNewUserCodingKey = "newUser";

    AdditionalUserInfo(std::string providerID, std::optional<platform::Dictionary> profile,
                       std::optional<std::string> username, bool isNewUser)
        : providerID_(std::move(providerID)), profile_(std::move(profile)), username_(std::move(username)),
          isNewUser_(isNewUser) {}

    const std::string& providerID() const { return providerID_; }
    const std::optional<platform::Dictionary>& profile() const { return profile_; }
    const std::optional<std::string>& username() const { return username_; }
    bool isNewUser() const { return isNewUser_; }
    bool newUser() const { return isNewUser_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "providerID" holds a text.
    static std::shared_ptr<AdditionalUserInfo> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::string providerID_;
    std::optional<platform::Dictionary> profile_;
    std::optional<std::string> username_;
    bool isNewUser_;
};

class AuthDataResult {
public:
    static constexpr std::string_view kArchiveClassName = "ZIRAuthDataResult";
    static constexpr std::string_view kAdditionalUserInfoCodingKey = "additionalUserInfo";
    static constexpr std::string_view kUserCodingKey = "user";
    static constexpr std::string_view kCredentialCodingKey = "credential";

    AuthDataResult(std::shared_ptr<User> user, std::shared_ptr<AdditionalUserInfo> additionalUserInfo = nullptr,
                   std::shared_ptr<OAuthCredential> credential = nullptr);

    const std::shared_ptr<User>& user() const { return user_; }
    const std::shared_ptr<AdditionalUserInfo>& additionalUserInfo() const { return additionalUserInfo_; }
    const std::shared_ptr<OAuthCredential>& credential() const { return credential_; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "user" holds a user.
    static std::shared_ptr<AuthDataResult> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::shared_ptr<User> user_;
    std::shared_ptr<AdditionalUserInfo> additionalUserInfo_;
    std::shared_ptr<OAuthCredential> credential_;
};

}  // namespace brisko::auth
