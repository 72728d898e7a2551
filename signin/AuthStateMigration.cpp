// Moving the saved session out of the file-based keychain.
#include "signin/AuthStateMigration.hpp"

#include "platform/base/Log.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "signin/session/KeychainStoreError.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kLogCategory = "signin";
constexpr std::string_view kMigrationFailedLog =
    "Moving the saved Ezevar sign-in into the data-protection keychain failed; it will be tried again.";
}  // namespace

AuthStateMigration::AuthStateMigration(std::shared_ptr<KeychainStore> keychainStore)
    : keychainStore_(std::move(keychainStore)) {}

AuthStateMigration::AuthStateMigration()
    : AuthStateMigration(std::make_shared<KeychainStore>(std::string(kDefaultItemName))) {}

void AuthStateMigration::migrateIfNeededWithTokenURL(const platform::URL&, std::string_view, bool isFreshInstall) {
    if (isFreshInstall) {
        platform::UserDefaults::standard()->setBool(true, kMigrationCheckPerformedKey);
        return;
    }
    performDataProtectedMigrationIfNeeded();
}

void AuthStateMigration::performDataProtectedMigrationIfNeeded() {
    auto defaults = platform::UserDefaults::standard();
    if (defaults->boolForKey(kMigrationCheckPerformedKey).value_or(false)) return;

    // The old store uses the same keychain as ours (a test may have given the store its own).
    KeychainAttributeSet fileBased{KeychainAttribute::useFileBasedKeychain()};
    std::shared_ptr<platform::Keychain> keychain;
    if (auto* wrapper = dynamic_cast<KeychainWrapper*>(keychainStore_->keychainHelper().get()))
        keychain = wrapper->keychain();
    KeychainStore fileStore(keychainStore_->itemName(), fileBased,
                            std::make_shared<KeychainWrapper>(fileBased, keychain));

    platform::OptionalError error;
    auto session = fileStore.retrieveAuthSession(error);
    bool done = true;
    if (session) {
        platform::OptionalError saveError;
        if (keychainStore_->saveAuthSession(session, saveError)) {
            platform::OptionalError removeError;
            fileStore.removeAuthSession(removeError);
        } else {
            done = false;
        }
    } else if (error && error->domain() == kKeychainStoreErrorDomain &&
               error->code() != static_cast<std::int64_t>(KeychainStoreErrorCode::passwordNotFound)) {
        // The old keychain could not be read: try again next time rather than forget the session.
        done = error->code() ==
               static_cast<std::int64_t>(KeychainStoreErrorCode::failedToConvertKeychainDataToAuthSession);
    }
    if (!done) {
        platform::log(platform::LogLevel::warning, kLogCategory, kMigrationFailedLog);
        return;
    }
    defaults->setBool(true, kMigrationCheckPerformedKey);
}

}  // namespace brisko::signin
