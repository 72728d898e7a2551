// The one-time move of the saved authorization session from the older file-based keychain into the
// data-protection keychain.
#pragma once

#include <memory>
#include <string_view>

#include "platform/net/URL.hpp"
#include "signin/session/KeychainStore.hpp"

namespace brisko::signin {

class AuthStateMigration {
public:
    static constexpr std::string_view kMigrationCheckPerformedKey = "EID_DataProtectedMigrationCheckPerformed";
    static constexpr std::string_view kDefaultItemName = "auth";

    explicit AuthStateMigration(std::shared_ptr<KeychainStore> keychainStore);
    AuthStateMigration();

    const std::shared_ptr<KeychainStore>& keychainStore() const { return keychainStore_; }

    // A fresh install only sets the flag; otherwise the move runs (the URL and path are unused here).
    void migrateIfNeededWithTokenURL(const platform::URL& tokenURL, std::string_view callbackPath, bool isFreshInstall);
    // Moves the session once; the flag is set only after a successful move (or when there was nothing
    // to move), so a failed move is tried again at the next start.
    void performDataProtectedMigrationIfNeeded();

private:
    std::shared_ptr<KeychainStore> keychainStore_;
};

}  // namespace brisko::signin
