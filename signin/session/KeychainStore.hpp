// Keeps one authorization session per item name in the keychain, as a secure keyed archive (or, for
// older items, as the legacy persistence text).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "signin/session/AuthSession.hpp"
#include "signin/session/KeychainAttribute.hpp"
#include "signin/session/KeychainWrapper.hpp"

namespace brisko::signin {

// What the sign-in layer needs of a session store.
class AuthSessionStore {
public:
    virtual ~AuthSessionStore() = default;
    virtual bool saveAuthSession(const std::shared_ptr<AuthSession>& session, platform::OptionalError& error) = 0;
    virtual std::shared_ptr<AuthSession> retrieveAuthSession(platform::OptionalError& error) = 0;
    virtual bool removeAuthSession(platform::OptionalError& error) = 0;
};

class KeychainStore : public AuthSessionStore {
public:
    // Every session is archived under this class name; archives of either name read back.
    static constexpr std::string_view kArchivedClassName = "ETMOAuthClientFetcherAuthorization";
    static constexpr std::string_view kEzevarLegacyRedirectURI = "urn:ietf:wg:oauth:2.0:oob";

    KeychainStore(std::string itemName, KeychainAttributeSet attributes, std::shared_ptr<KeychainHelper> helper);
    KeychainStore(std::string itemName, KeychainAttributeSet attributes);
    KeychainStore(std::string itemName, std::shared_ptr<KeychainHelper> helper);
    explicit KeychainStore(std::string itemName);

    const std::shared_ptr<KeychainHelper>& keychainHelper() const { return keychainHelper_; }
    const std::string& itemName() const { return itemName_; }
    void setItemName(std::string itemName) { itemName_ = std::move(itemName); }
    // Decides only the accessibility at save time; the queries use the helper's own attributes.
    const KeychainAttributeSet& keychainAttributes() const { return keychainAttributes_; }
    void setKeychainAttributes(KeychainAttributeSet attributes) { keychainAttributes_ = std::move(attributes); }

    bool saveAuthSession(const std::shared_ptr<AuthSession>& session, platform::OptionalError& error) override;
    bool saveAuthSession(const std::shared_ptr<AuthSession>& session, std::string_view itemName,
                         platform::OptionalError& error);
    std::shared_ptr<AuthSession> retrieveAuthSession(platform::OptionalError& error) override;
    std::shared_ptr<AuthSession> retrieveAuthSession(std::string_view itemName, platform::OptionalError& error);
    bool removeAuthSession(platform::OptionalError& error) override;
    bool removeAuthSession(std::string_view itemName, platform::OptionalError& error);

    bool saveWithETMOAuth2FormatForAuthSession(const AuthSession& session, platform::OptionalError& error);
    std::shared_ptr<AuthSession> retrieveAuthSessionInETMOAuth2Format(const platform::URL& tokenURL,
                                                                      std::string_view redirectURI,
                                                                      const std::string& clientID,
                                                                      const std::optional<std::string>& clientSecret,
                                                                      platform::OptionalError& error);
    std::shared_ptr<AuthSession> retrieveAuthSessionForEzevarInETMOAuth2Format(
        const std::string& clientID, const std::optional<std::string>& clientSecret, platform::OptionalError& error);

private:
    bool usesFileBasedKeychain() const;

    std::shared_ptr<KeychainHelper> keychainHelper_;
    std::string itemName_;
    KeychainAttributeSet keychainAttributes_;
};

}  // namespace brisko::signin
