// A keychain kept in one private file (mode 0600), for sessions without a Secret Service.
#pragma once

#include <filesystem>
#include <mutex>

#include "platform/storage/Keychain.hpp"
#include "platform/storage/KeychainItemList.hpp"

namespace brisko::platform {

// The items live in a binary property list, rewritten atomically on each change and read afresh on each
// call, under a lock file so that two processes never interleave their changes. The data is only as safe
// as the file's permissions: the Secret Service is preferred whenever one runs.
class FileKeychain : public Keychain {
  public:
    explicit FileKeychain(std::filesystem::path file);
    // $XDG_DATA_HOME/brisko-desktop/keychain-items.plist
    static std::filesystem::path defaultPath();

    OSStatus copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) override;
    OSStatus add(const KeychainItem& item) override;
    OSStatus update(const KeychainQuery& query, const KeychainItemChanges& changes) override;
    OSStatus deleteItems(const KeychainQuery& query) override;
    std::string_view backendName() const override { return "file"; }

    const std::filesystem::path& path() const { return file_; }

  private:
    // Runs `body` on the loaded list under both locks; saves the list when `writes` and the body
    // succeeded.
    template <class Body>
    OSStatus transact(bool writes, Body&& body);

    std::filesystem::path file_;
    std::mutex mutex_;
};

}  // namespace brisko::platform
