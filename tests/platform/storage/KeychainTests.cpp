// Keychain: the memory and file backends, failure injection, status errors and the backend choice.
#include <doctest/doctest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/storage/Crypto.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/KeychainSelection.hpp"
#include "platform/base/Log.hpp"
#include "tests/platform/storage/KeychainContract.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using namespace brisko::platform::testing;

TEST_CASE("the memory keychain keeps the keychain's rules") {
    InMemoryKeychain keychain;
    checkKeychainContract(keychain, "memory");
}

TEST_CASE("the file keychain keeps the keychain's rules") {
    TemporaryDirectory dir;
    FileKeychain keychain(dir / "store" / "keychain-items.plist");
    checkKeychainContract(keychain, "file");
}

TEST_CASE("the file keychain writes a private file that a new instance reads back") {
    TemporaryDirectory dir;
    auto path = dir / "store" / "keychain-items.plist";
    {
        FileKeychain keychain(path);
        REQUIRE(keychain.add(genericPassword("svc", "first", Data{1})) == errSecSuccess);
        REQUIRE(keychain.add(genericPassword("svc", "second", Data{2})) == errSecSuccess);
    }
    CHECK(permissions(path) == 0600);
    CHECK(permissions(dir / "store") == 0700);
    // Only the store and its lock file: no temporary file is left behind.
    CHECK(FileSystem::contentsOfDirectory(dir / "store") ==
          std::vector<std::string>{"keychain-items.plist", "keychain-items.plist.lock"});

    FileKeychain again(path);
    std::vector<KeychainItem> found;
    KeychainQuery all = queryFor("svc");
    all.matchLimit = KeychainQuery::kMatchLimitAll;
    REQUIRE(again.copyMatching(all, found) == errSecSuccess);
    REQUIRE(found.size() == 2);
    CHECK(found[0].account == "first");  // oldest first
    CHECK(found[1].data == Data{2});
}

TEST_CASE("the file keychain never follows a link planted at its lock file") {
    TemporaryDirectory dir;
    std::filesystem::create_directories(dir / "store");
    std::filesystem::create_symlink(dir / "elsewhere", dir / "store" / "keychain-items.plist.lock");
    FileKeychain keychain(dir / "store" / "keychain-items.plist");
    CHECK(keychain.add(genericPassword("svc", "first", Data{1})) == errSecSuccess);
    CHECK_FALSE(std::filesystem::exists(dir / "elsewhere"));
    CHECK_FALSE(std::filesystem::is_symlink(dir / "store" / "keychain-items.plist.lock"));
}

TEST_CASE("a file keychain that cannot be read fails, unlike one that lacks the item") {
    TemporaryDirectory dir;
    auto path = dir / "keychain-items.plist";
    FileKeychain keychain(path);
    std::vector<KeychainItem> found;
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecItemNotFound);

    // A folder where the file should be: the store cannot be read, which is no "not found".
    FileSystem::createDirectory(path);
    LogCapture logs;
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecIO);
    CHECK(keychain.add(genericPassword("svc", "a", Data{1})) == errSecIO);
    CHECK(logs.contains("Keychain file unreadable"));
}

TEST_CASE("a damaged keychain file is kept aside and the store starts empty") {
    TemporaryDirectory dir;
    auto path = dir / "keychain-items.plist";
    writeText(path, "not a property list");
    LogCapture logs;
    FileKeychain keychain(path);
    std::vector<KeychainItem> found;
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecItemNotFound);
    CHECK(logs.contains("damaged"));
    CHECK(FileSystem::fileExists(dir / "keychain-items.plist.damaged"));
    CHECK(keychain.add(genericPassword("svc", "a", Data{1})) == errSecSuccess);
}

TEST_CASE("the memory keychain fails on request and counts its calls") {
    InMemoryKeychain keychain;
    keychain.failNext(InMemoryKeychain::Operation::add, errSecInteractionNotAllowed);
    CHECK(keychain.add(genericPassword("svc", "a", Data{1})) == errSecInteractionNotAllowed);
    CHECK(keychain.allItems().empty());
    CHECK(keychain.add(genericPassword("svc", "a", Data{1})) == errSecSuccess);

    keychain.failNext(InMemoryKeychain::Operation::copyMatching, errSecIO, 2);
    std::vector<KeychainItem> found;
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecIO);
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecIO);
    CHECK(keychain.copyMatching(queryFor("svc", "a"), found) == errSecSuccess);
    CHECK(keychain.callCount(InMemoryKeychain::Operation::copyMatching) == 3);
    CHECK(keychain.callCount(InMemoryKeychain::Operation::add) == 2);
    CHECK(keychain.callCount(InMemoryKeychain::Operation::deleteItems) == 0);
}

TEST_CASE("status errors carry the platform's domain, code and text") {
    Error e = Keychain::statusError(errSecDuplicateItem, "SecItemAdd");
    CHECK(e.domain() == "NSOSStatusErrorDomain");
    CHECK(e.code() == -25299);
    CHECK(e.localizedDescription() ==
          "SecItemAdd (-25299) The specified item already exists in the keychain.");
    CHECK(Keychain::statusMessage(errSecItemNotFound) ==
          "The specified item could not be found in the keychain.");
    CHECK(Keychain::statusMessage(12345).empty());
    CHECK(Keychain::statusError(12345).localizedDescription() == "OSStatus 12345");
}

TEST_CASE("the Secret Service is asked again after a moment and chosen when it answers") {
    auto secretService = std::make_shared<InMemoryKeychain>();
    auto fileStore = std::make_shared<InMemoryKeychain>();
    KeychainItem leftOver = genericPassword("svc", "from-file", Data{7});
    KeychainItem legacy = leftOver;
    legacy.dataProtectionKeychain = false;
    legacy.synchronizable = true;
    REQUIRE(fileStore->add(leftOver) == errSecSuccess);
    REQUIRE(fileStore->add(legacy) == errSecSuccess);

    int attempts = 0;
    std::vector<std::chrono::milliseconds> waits;
    LogCapture logs;
    auto chosen = KeychainSelection::choose(
        [&](std::string& whyNot) -> std::shared_ptr<Keychain> {
            if (++attempts == 1) {
                whyNot = "not yet started";
                return nullptr;
            }
            return secretService;
        },
        fileStore, [&](std::chrono::milliseconds d) { waits.push_back(d); }, std::chrono::milliseconds(1500));

    CHECK(chosen == secretService);
    CHECK(attempts == 2);
    CHECK(waits == std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1500)});
    // What an earlier run kept in the file moved into the Secret Service, in both keychains.
    CHECK(secretService->allItems().size() == 2);
    CHECK(fileStore->allItems().empty());
    CHECK(logs.contains("Moved keychain items from the private file into the Secret Service: 2"));
}

TEST_CASE("without a Secret Service the file store is used and the log says why") {
    auto fileStore = std::make_shared<InMemoryKeychain>();
    int attempts = 0;
    LogCapture logs;
    auto chosen = KeychainSelection::choose(
        [&](std::string& whyNot) -> std::shared_ptr<Keychain> {
            ++attempts;
            whyNot = "org.freedesktop.secrets was not provided";
            return nullptr;
        },
        fileStore, [](std::chrono::milliseconds) {}, std::chrono::milliseconds(1));
    CHECK(chosen == fileStore);
    CHECK(attempts == 2);
    CHECK(
        logs.contains("No Secret Service answered (org.freedesktop.secrets was not provided); keeping "
                      "keychain items in a private file instead"));
}

TEST_CASE("items stay in the file store when the Secret Service refuses them") {
    auto secretService = std::make_shared<InMemoryKeychain>();
    auto fileStore = std::make_shared<InMemoryKeychain>();
    REQUIRE(fileStore->add(genericPassword("svc", "a", Data{1})) == errSecSuccess);
    secretService->failNext(InMemoryKeychain::Operation::add, errSecInteractionNotAllowed);
    CHECK(KeychainSelection::moveItems(*fileStore, *secretService) == 0);
    CHECK(fileStore->allItems().size() == 1);
    // The next launch tries again.
    CHECK(KeychainSelection::moveItems(*fileStore, *secretService) == 1);
    CHECK(fileStore->allItems().empty());
}

TEST_CASE("the default keychain is the installed one, else the backend the environment names") {
    auto memory = std::make_shared<InMemoryKeychain>();
    Keychain::setDefaultKeychain(memory);
    CHECK(Keychain::defaultKeychain() == memory);

    TemporaryDirectory dir;
    ScopedEnvironment data("XDG_DATA_HOME", dir.path().string());
    {
        ScopedEnvironment chosen("BRISKO_KEYCHAIN", "memory");
        Keychain::setDefaultKeychain(nullptr);
        CHECK(Keychain::defaultKeychain()->backendName() == "memory");
    }
    {
        ScopedEnvironment chosen("BRISKO_KEYCHAIN", "file");
        Keychain::setDefaultKeychain(nullptr);
        auto file = std::dynamic_pointer_cast<FileKeychain>(Keychain::defaultKeychain());
        REQUIRE(file);
        CHECK(file->path() == dir / "brisko-desktop" / "keychain-items.plist");
    }
    Keychain::setDefaultKeychain(nullptr);
}
