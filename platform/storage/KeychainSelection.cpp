// Chooses the keychain backend and moves file-store items into the Secret Service once it answers.
#include "platform/storage/KeychainSelection.hpp"

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {
namespace {

// Every item of one keychain (data-protection or file-based), synchronizable or not.
KeychainQuery everything(bool dataProtection) {
    return KeychainQuery{.synchronizable = KeychainSynchronizable::any,
                         .useDataProtectionKeychain = dataProtection,
                         .matchLimit = KeychainQuery::kMatchLimitAll};
}

}  // namespace

std::size_t KeychainSelection::moveItems(Keychain& from, Keychain& to) {
    std::vector<KeychainItem> all;
    for (bool dataProtection : {false, true}) {
        std::vector<KeychainItem> items;
        OSStatus s = from.copyMatching(everything(dataProtection), items);
        if (s != errSecSuccess && s != errSecItemNotFound) return 0;
        all.insert(all.end(), items.begin(), items.end());
    }
    if (all.empty()) return 0;
    for (const auto& item : all) {
        OSStatus s = to.add(item);
        if (s != errSecSuccess && s != errSecDuplicateItem) return 0;
    }
    for (bool dataProtection : {false, true}) from.deleteItems(everything(dataProtection));
    return all.size();
}

std::shared_ptr<Keychain> KeychainSelection::choose(const Connect& connect,
                                                    std::shared_ptr<Keychain> fileStore, const Wait& wait,
                                                    std::chrono::milliseconds retryDelay) {
    std::string whyNot;
    std::shared_ptr<Keychain> secretService = connect(whyNot);
    if (!secretService) {
        wait(retryDelay);
        secretService = connect(whyNot);
    }
    if (!secretService) {
        log(LogLevel::warning, "keychain", format(kNoSecretServiceMessage, {whyNot}));
        return fileStore;
    }
    if (std::size_t moved = moveItems(*fileStore, *secretService); moved > 0) {
        log(LogLevel::notice, "keychain", format(kMovedItemsMessage, {moved}));
    }
    return secretService;
}

}  // namespace brisko::platform
