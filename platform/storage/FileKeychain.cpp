// The file keychain: load, apply the shared item rules, write back atomically, all under a lock file.
#include "platform/storage/FileKeychain.hpp"

#include "platform/base/Clock.hpp"
#include "platform/storage/FileLock.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/PropertyList.hpp"

namespace brisko::platform {
namespace {

constexpr std::string_view kFileName = "keychain-items.plist";

}  // namespace

FileKeychain::FileKeychain(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path FileKeychain::defaultPath() {
    return FileSystem::applicationSupportDirectory() / kFileName;
}

template <class Body>
OSStatus FileKeychain::transact(bool writes, Body&& body) {
    std::lock_guard guard(mutex_);
    try {
        FileSystem::createDirectory(file_.parent_path(), true, 0700);
    } catch (const ErrorException& e) {
        log(LogLevel::error, "platform", "Keychain file folder unavailable: " + e.error().description());
        return errSecIO;
    }
    // Other processes using the same file wait here; the lock file is never reached through a link.
    std::filesystem::path lockPath = file_;
    lockPath += ".lock";
    auto lock = FileLock::lock(lockPath);
    if (!lock) return errSecIO;

    KeychainItemList list;
    if (FileSystem::fileExists(file_)) {
        std::optional<KeychainItemList> loaded;
        try {
            loaded = KeychainItemList::fromValue(PropertyList::readFile(file_));
        } catch (const ErrorException& e) {
            if (e.error().domain() != kCocoaErrorDomain ||
                e.error().code() != kPropertyListReadCorruptError) {
                log(LogLevel::error, "platform", "Keychain file unreadable: " + e.error().description());
                return errSecIO;
            }
        }
        if (loaded) {
            list = std::move(*loaded);
        } else {
            // Keep the damaged file for the user; starting empty lets the app sign in again.
            auto aside = FileSystem::setAsideDamagedFile(file_);
            log(LogLevel::error, "platform",
                "Keychain file " + file_.string() + " is damaged; starting empty" +
                    (aside ? "; the old file is kept as " + aside->string() : std::string()));
        }
    }

    OSStatus status = body(list);
    if (!writes || status != errSecSuccess) return status;
    try {
        Data bytes = PropertyList::write(list.toValue(), PropertyListFormat::binary);
        FileSystem::writeFileAtomically(file_, bytes, {.mode = 0600, .createDirectories = true});
    } catch (const ErrorException& e) {
        log(LogLevel::error, "platform", "Keychain file not saved: " + e.error().description());
        return errSecIO;
    }
    return errSecSuccess;
}

OSStatus FileKeychain::copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) {
    items.clear();
    return transact(false, [&](KeychainItemList& list) { return list.copyMatching(query, items); });
}

OSStatus FileKeychain::add(const KeychainItem& item) {
    return transact(true, [&](KeychainItemList& list) { return list.add(item, now()); });
}

OSStatus FileKeychain::update(const KeychainQuery& query, const KeychainItemChanges& changes) {
    return transact(true, [&](KeychainItemList& list) { return list.update(query, changes, now()); });
}

OSStatus FileKeychain::deleteItems(const KeychainQuery& query) {
    return transact(true, [&](KeychainItemList& list) { return list.deleteItems(query); });
}

}  // namespace brisko::platform
