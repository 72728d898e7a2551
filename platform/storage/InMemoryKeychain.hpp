// A keychain in memory for tests: counts its calls and can be told to fail.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/storage/Keychain.hpp"
#include "platform/storage/KeychainItemList.hpp"

namespace brisko::platform {

class InMemoryKeychain : public Keychain {
  public:
    enum class Operation { copyMatching, add, update, deleteItems };

    OSStatus copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) override;
    OSStatus add(const KeychainItem& item) override;
    OSStatus update(const KeychainQuery& query, const KeychainItemChanges& changes) override;
    OSStatus deleteItems(const KeychainQuery& query) override;
    std::string_view backendName() const override { return "memory"; }

    // The next `times` calls of the operation answer `status` and change nothing.
    void failNext(Operation operation, OSStatus status, int times = 1);
    // Calls made so far (failed ones included).
    int callCount(Operation operation) const;
    std::vector<KeychainItem> allItems() const;
    void removeAll();

  private:
    std::optional<OSStatus> takeFailure(Operation operation);

    mutable std::mutex mutex_;
    KeychainItemList list_;
    std::map<Operation, std::vector<OSStatus>> failures_;
    std::map<Operation, int> calls_;
};

}  // namespace brisko::platform
