// How the process's keychain is chosen: the Secret Service when one answers, else the file store.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/storage/Keychain.hpp"

namespace brisko::platform {

struct KeychainSelection {
    // The log line when no Secret Service answers.
    static constexpr std::string_view kNoSecretServiceMessage =
        "No Secret Service answered (%@); keeping keychain items in a private file instead";
    static constexpr std::string_view kMovedItemsMessage =
        "Moved keychain items from the private file into the Secret Service: %lu";

    using Connect = std::function<std::shared_ptr<Keychain>(std::string& whyNot)>;
    using Wait = std::function<void(std::chrono::milliseconds)>;

    // Asks `connect`, and once more after `retryDelay` when it fails. With a Secret Service, the items an
    // earlier run kept in the file store move into it; without one, the file store is used and the log
    // says so.
    static std::shared_ptr<Keychain> choose(const Connect& connect, std::shared_ptr<Keychain> fileStore,
                                            const Wait& wait, std::chrono::milliseconds retryDelay);

    // Adds every item of `from` to `to` (an item already there counts as moved); when all moved, empties
    // `from`. Returns how many items `from` held when all moved, else 0 and `from` is left as it was.
    static std::size_t moveItems(Keychain& from, Keychain& to);
};

}  // namespace brisko::platform
