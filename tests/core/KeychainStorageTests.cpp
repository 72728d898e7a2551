// The keychain storage against the platform's keychain backends: file store and memory here, the
// Secret Service in the keyring run of the test script.
#include <doctest/doctest.h>

#include <condition_variable>
#include <future>

#include "core/KeychainStorage.hpp"
#include "core/KeychainUtils.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "platform/storage/SecretServiceKeychain.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko;
using core::KeychainStorage;

namespace {

struct StoredToken {
    static constexpr std::string_view kArchiveClassName = "EULTestStoredToken";
    std::string token;
    void encodeWithCoder(platform::KeyedArchiver& coder) const {
        coder.encodeObject(platform::Value(token), "token");
    }
    static std::shared_ptr<StoredToken> initWithCoder(platform::KeyedUnarchiver& coder) {
        auto token = coder.decodeObjectOfClass<std::string>("token");
        return token ? std::make_shared<StoredToken>(StoredToken{*token}) : nullptr;
    }
};

// A keychain that counts reads, can fail writes and can hold reads until released.
class ScriptedKeychain final : public platform::Keychain {
  public:
    explicit ScriptedKeychain(std::shared_ptr<platform::Keychain> inner) : inner_(std::move(inner)) {}

    platform::OSStatus copyMatching(const platform::KeychainQuery& q,
                                    std::vector<platform::KeychainItem>& items) override {
        ++copies;
        std::unique_lock lock(mutex_);
        ++readsWaiting_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !holdReads_; });
        --readsWaiting_;
        lock.unlock();
        return inner_->copyMatching(q, items);
    }
    platform::OSStatus add(const platform::KeychainItem& item) override {
        return failWrites ? platform::errSecIO : inner_->add(item);
    }
    platform::OSStatus update(const platform::KeychainQuery& q,
                              const platform::KeychainItemChanges& c) override {
        return failWrites ? platform::errSecIO : inner_->update(q, c);
    }
    platform::OSStatus deleteItems(const platform::KeychainQuery& q) override {
        return inner_->deleteItems(q);
    }
    std::string_view backendName() const override { return "scripted"; }

    void holdReads() {
        std::lock_guard lock(mutex_);
        holdReads_ = true;
    }
    void waitForHeldRead() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return readsWaiting_ > 0; });
    }
    void releaseReads() {
        std::lock_guard lock(mutex_);
        holdReads_ = false;
        cv_.notify_all();
    }

    std::atomic<int> copies{0};
    std::atomic<bool> failWrites{false};

  private:
    std::shared_ptr<platform::Keychain> inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool holdReads_ = false;
    int readsWaiting_ = 0;
};

struct Result {
    platform::Value object;
    std::optional<platform::Error> error;
};

Result get(KeychainStorage& storage, const std::string& key) {
    std::promise<Result> done;
    storage.getObjectForKey(key, platform::archiveClasses<StoredToken>(), std::nullopt,
                            [&](platform::Value object, std::optional<platform::Error> error) {
                                done.set_value({std::move(object), std::move(error)});
                            });
    return done.get_future().get();
}

Result set(KeychainStorage& storage, const std::string& key, std::string token) {
    std::promise<Result> done;
    storage.setObject(std::make_shared<StoredToken>(StoredToken{std::move(token)}), key, std::nullopt,
                      [&](platform::Value object, std::optional<platform::Error> error) {
                          done.set_value({std::move(object), std::move(error)});
                      });
    return done.get_future().get();
}

std::optional<platform::Error> remove(KeychainStorage& storage, const std::string& key) {
    std::promise<std::optional<platform::Error>> done;
    storage.removeObjectForKey(key, std::nullopt,
                               [&](std::optional<platform::Error> error) { done.set_value(error); });
    return done.get_future().get();
}

std::string tokenOf(const Result& r) {
    auto token = r.object.object<StoredToken>();
    return token ? token->token : std::string("(none)");
}

// The storage's behaviour over one keychain backend.
void checkStorageOver(const std::shared_ptr<platform::Keychain>& keychain, const std::string& service) {
    auto storage = KeychainStorage::initWithService(service);
    storage->setKeychainRef(keychain);

    auto missing = get(*storage, "never-written");
    CHECK(missing.object.isNull());
    CHECK_FALSE(missing.error);
    CHECK_FALSE(remove(*storage, "never-written"));

    auto written = set(*storage, "token", "first");
    CHECK_FALSE(written.error);
    CHECK(tokenOf(written) == "first");
    CHECK_FALSE(set(*storage, "token", "second").error);  // an existing item is updated

    // A new storage object (no cache) reads the item back from the keychain.
    auto fresh = KeychainStorage::initWithService(service);
    fresh->setKeychainRef(keychain);
    CHECK(tokenOf(get(*fresh, "token")) == "second");
    std::vector<platform::KeychainItem> items;
    REQUIRE(keychain->copyMatching(
                platform::KeychainQuery{
                    .service = service, .account = "token", .useDataProtectionKeychain = true},
                items) == platform::errSecSuccess);
    CHECK(items[0].accessible == platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);

    CHECK_FALSE(remove(*storage, "token"));
    CHECK(get(*fresh, "token").object.object<StoredToken>());  // still cached in the other object
    fresh->resetInMemoryCache();
    CHECK(get(*fresh, "token").object.isNull());
}

}  // namespace

TEST_CASE("keychain storage over the in-memory keychain") {
    checkStorageOver(std::make_shared<platform::InMemoryKeychain>(), "com.brisko.tests.memory");
}

TEST_CASE("keychain storage over the file keychain") {
    platform::testing::TemporaryDirectory folder;
    checkStorageOver(std::make_shared<platform::FileKeychain>(folder / "keychain"), "com.brisko.tests.file");
}

TEST_CASE("keychain storage over the Secret Service" *
          doctest::skip(std::getenv("BRISKO_SECRET_SERVICE_TESTS") == nullptr)) {
    std::string whyNot;
    auto keychain = platform::SecretServiceKeychain::connect(whyNot);
    REQUIRE_MESSAGE(keychain, whyNot);
    checkStorageOver(keychain, "com.brisko.tests.secret-service");
}

TEST_CASE("a written object is read back from the cache without a keychain call") {
    auto keychain = std::make_shared<ScriptedKeychain>(std::make_shared<platform::InMemoryKeychain>());
    auto storage = KeychainStorage::initWithService("com.brisko.tests.cache");
    storage->setKeychainRef(keychain);
    set(*storage, "k", "cached");
    const int copiesAfterWrite = keychain->copies;
    CHECK(tokenOf(get(*storage, "k")) == "cached");
    CHECK(keychain->copies == copiesAfterWrite);
}

TEST_CASE("a failed write is reported and leaves nothing cached that reads as stored") {
    auto keychain = std::make_shared<ScriptedKeychain>(std::make_shared<platform::InMemoryKeychain>());
    auto storage = KeychainStorage::initWithService("com.brisko.tests.failing");
    storage->setKeychainRef(keychain);
    keychain->failWrites = true;
    auto failed = set(*storage, "k", "lost");
    CHECK(failed.object.isNull());
    REQUIRE(failed.error);
    CHECK(failed.error->domain() == core::kKeychainUtilsErrorDomain);
    CHECK(failed.error->code() == 0);
    CHECK(failed.error->localizedFailureReason() == "SecItemAdd (-36)");
    CHECK(get(*storage, "k").object.isNull());
}

TEST_CASE("a read issued while a write is in flight answers what the write left in the keychain") {
    auto keychain = std::make_shared<ScriptedKeychain>(std::make_shared<platform::InMemoryKeychain>());
    auto storage = KeychainStorage::initWithService("com.brisko.tests.inflight");
    storage->setKeychainRef(keychain);
    REQUIRE_FALSE(set(*storage, "k", "stored").error);

    for (const bool writeFails : {true, false}) {
        CAPTURE(writeFails);
        keychain->failWrites = writeFails;
        keychain->holdReads();  // the write's look-up of the existing item waits here
        std::promise<Result> written;
        storage->setObject(std::make_shared<StoredToken>(StoredToken{"new"}), "k", std::nullopt,
                           [&](platform::Value o, std::optional<platform::Error> e) {
                               written.set_value({o, e});
                           });
        keychain->waitForHeldRead();
        std::promise<Result> read;
        storage->getObjectForKey("k", platform::archiveClasses<StoredToken>(), std::nullopt,
                                 [&](platform::Value o, std::optional<platform::Error> e) {
                                     read.set_value({o, e});
                                 });
        keychain->releaseReads();
        CHECK(written.get_future().get().error.has_value() == writeFails);
        CHECK(tokenOf(read.get_future().get()) == (writeFails ? "stored" : "new"));
        CHECK(tokenOf(get(*storage, "k")) == (writeFails ? "stored" : "new"));
        keychain->failWrites = false;
        REQUIRE_FALSE(set(*storage, "k", "stored").error);
    }
}

TEST_CASE("a read racing a removal does not put the removed object back") {
    auto inner = std::make_shared<platform::InMemoryKeychain>();
    auto keychain = std::make_shared<ScriptedKeychain>(inner);
    auto writer = KeychainStorage::initWithService("com.brisko.tests.race");
    writer->setKeychainRef(keychain);
    set(*writer, "k", "stale");

    auto storage = KeychainStorage::initWithService("com.brisko.tests.race");
    storage->setKeychainRef(keychain);
    keychain->holdReads();
    std::promise<Result> readDone;
    storage->getObjectForKey("k", platform::archiveClasses<StoredToken>(), std::nullopt,
                             [&](platform::Value o, std::optional<platform::Error> e) {
                                 readDone.set_value({o, e});
                             });
    keychain->waitForHeldRead();  // the read has reached the keychain
    std::promise<std::optional<platform::Error>> removed;
    storage->removeObjectForKey("k", std::nullopt,
                                [&](std::optional<platform::Error> e) { removed.set_value(e); });
    keychain->releaseReads();
    CHECK(tokenOf(readDone.get_future().get()) == "stale");  // the read came first
    CHECK_FALSE(removed.get_future().get());
    CHECK(get(*storage, "k").object.isNull());
}

TEST_CASE("an item that does not unarchive as the asked class is an error") {
    auto keychain = std::make_shared<platform::InMemoryKeychain>();
    auto storage = KeychainStorage::initWithService("com.brisko.tests.class");
    storage->setKeychainRef(keychain);
    std::promise<Result> written;
    storage->setObject(platform::Value("plain text"), "k", std::nullopt,
                       [&](platform::Value o, std::optional<platform::Error> e) {
                           written.set_value({o, e});
                       });
    CHECK_FALSE(written.get_future().get().error);
    storage->resetInMemoryCache();
    auto read = get(*storage, "k");
    CHECK(read.object.isNull());
    CHECK(read.error);
}
