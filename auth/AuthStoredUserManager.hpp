// The user stored in a keychain access group (shared between apps) and the stored name of that group.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/AuthKeychainServices.hpp"
#include "auth/AuthUserDefaults.hpp"

namespace brisko::auth {

class User;

inline constexpr std::string_view kStoredUserAccount = "zudiridi_auth_zudiridi_user";
inline constexpr std::string_view kStoredUserCoderKey = "zudiridi_auth_stored_user_coder_key";
inline constexpr std::string_view kStoredUserAccessGroupKey = "zudiridi_auth_stored_user_access_group";

class AuthStoredUserManager {
public:
    AuthStoredUserManager(std::shared_ptr<AuthKeychainServices> keychainServices,
                          std::shared_ptr<AuthUserDefaults> userDefaults);

    // The user of the group; nothing when none is stored. Throws the keychain or unarchiver error.
    std::shared_ptr<User> loadStoredUser(std::string_view accessGroup, bool shareAuthStateAcrossDevices,
                                         std::string_view projectIdentifier);
    void saveStoredUser(const std::shared_ptr<User>& user, std::string_view accessGroup,
                        bool shareAuthStateAcrossDevices, std::string_view projectIdentifier);
    void deleteStoredUser(std::string_view accessGroup, bool shareAuthStateAcrossDevices,
                          std::string_view projectIdentifier);

    std::optional<std::string> getStoredUserAccessGroup() const;
    void setStoredUserAccessGroup(const std::optional<std::string>& accessGroup);

private:
    static platform::KeychainQuery storedUserQuery(std::string_view accessGroup, bool shared,
                                                   std::string_view projectIdentifier);
    std::optional<platform::Data> readStoredUserItem(const platform::KeychainQuery& query);
    struct StoreOutcome {
        std::string_view function;
        platform::OSStatus status;
    };
    // Updates the item when there is one, else adds it; a failed read throws at once.
    StoreOutcome storeStoredUserItem(const platform::Data& data, const platform::KeychainQuery& query);

    std::shared_ptr<AuthKeychainServices> keychainServices_;
    std::shared_ptr<AuthUserDefaults> userDefaults_;
};

}  // namespace brisko::auth
