// The Secret Service keychain against a real GNOME Keyring in a private D-Bus session
// (run through scripts/with-keyring.sh).
#include <doctest/doctest.h>

#include <chrono>
#include <memory>

#include "platform/base/Log.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "platform/storage/KeychainSelection.hpp"
#include "platform/storage/SecretServiceKeychain.hpp"
#include "tests/platform/storage/KeychainContract.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"
#include "tests/platform/storage/keyring/KeyringTools.hpp"

using namespace brisko::platform;
using namespace brisko::platform::testing;

namespace {

std::shared_ptr<SecretServiceKeychain> connectOrFail() {
    std::string whyNot;
    auto keychain = SecretServiceKeychain::connect(whyNot);
    INFO("no Secret Service: " << whyNot << " (run through scripts/with-keyring.sh)");
    REQUIRE(keychain);
    return keychain;
}

}  // namespace

TEST_CASE("the Secret Service keychain keeps the keychain's rules") {
    auto keychain = connectOrFail();
    // Items outlive each run of the test body, so every run takes services of its own.
    checkKeychainContract(*keychain, "keyring." + crypto::uuidString());
}

TEST_CASE("items live in the desktop keyring where other tools see them") {
    auto keychain = connectOrFail();
    std::string service = "visible." + crypto::uuidString();
    REQUIRE(keychain->add(genericPassword(service, "alice", toData("s3cret"))) == errSecSuccess);
    CHECK(secretToolLookup(service, "alice") == "s3cret");

    REQUIRE(keychain->update(queryFor(service, "alice"), {.data = toData("changed")}) == errSecSuccess);
    CHECK(secretToolLookup(service, "alice") == "changed");

    REQUIRE(keychain->deleteItems(queryFor(service, "alice")) == errSecSuccess);
    CHECK(secretToolLookup(service, "alice").empty());
    std::vector<KeychainItem> found;
    CHECK(keychain->copyMatching(queryFor(service, "alice"), found) == errSecItemNotFound);
}

TEST_CASE("a second connection sees what the first stored") {
    auto first = connectOrFail();
    auto second = connectOrFail();
    std::string service = "shared." + crypto::uuidString();
    REQUIRE(first->add(genericPassword(service, "a", Data{1, 2, 3})) == errSecSuccess);
    std::vector<KeychainItem> found;
    REQUIRE(second->copyMatching(queryFor(service, "a"), found) == errSecSuccess);
    CHECK(found.at(0).data == Data{1, 2, 3});
}

TEST_CASE("the default choice takes the running Secret Service and moves file-store items into it") {
    TemporaryDirectory dir;
    auto fileStore = std::make_shared<FileKeychain>(dir / "keychain-items.plist");
    std::string service = "moved." + crypto::uuidString();
    REQUIRE(fileStore->add(genericPassword(service, "from-file", toData("kept"))) == errSecSuccess);

    bool waited = false;
    LogCapture logs;
    auto chosen = KeychainSelection::choose(
        [](std::string& whyNot) -> std::shared_ptr<Keychain> { return SecretServiceKeychain::connect(whyNot); },
        fileStore, [&](std::chrono::milliseconds) { waited = true; }, std::chrono::milliseconds(1));
    REQUIRE(chosen);
    CHECK(chosen->backendName() == "Secret Service");
    CHECK_FALSE(waited);
    CHECK(logs.contains("Moved keychain items from the private file into the Secret Service: 1"));
    CHECK(secretToolLookup(service, "from-file") == "kept");
    std::vector<KeychainItem> found;
    CHECK(fileStore->copyMatching(queryFor(service, "from-file"), found) == errSecItemNotFound);
}

TEST_CASE("an item another tool wrote without some of our attributes is read, replaced and deleted like ours") {
    auto keychain = connectOrFail();
    const std::string schema = "xdg:schema " + std::string(SecretServiceKeychain::kSchemaName);
    struct Shape {
        const char* what;
        std::string attributes;  // beyond schema, service and account
        bool dataProtection;
    };
    const Shape shapes[] = {
        {"no synchronizable, no accessible", "keychain data-protection", true},
        {"synchronizable but no accessible", "synchronizable 0 keychain data-protection", true},
        {"an accessibility code we do not know", "accessible bogus keychain data-protection", true},
        {"no keychain: the older file-based one", "", false},
    };
    for (const auto& shape : shapes) {
        INFO(std::string(shape.what));
        const std::string service = "foreign." + crypto::uuidString();
        secretToolStore("auth", schema + " service " + service + " account OAuth " + shape.attributes, "foreign");
        REQUIRE(secretToolLookup(service, "OAuth") == "foreign");

        KeychainQuery query{.service = service, .account = "OAuth", .useDataProtectionKeychain = shape.dataProtection};
        std::vector<KeychainItem> found;
        REQUIRE(keychain->copyMatching(query, found) == errSecSuccess);
        REQUIRE(found.size() == 1);
        CHECK(found[0].data == toData("foreign"));
        CHECK_FALSE(found[0].synchronizable);
        CHECK_FALSE(found[0].accessible);
        CHECK(found[0].label == "auth");
        // It is the item an add of ours would make, so adding is a duplicate, and it is not in the other
        // keychain.
        KeychainItem same = genericPassword(service, "OAuth", toData("ours"));
        same.dataProtectionKeychain = shape.dataProtection;
        CHECK(keychain->add(same) == errSecDuplicateItem);
        KeychainQuery otherKeychain = query;
        otherKeychain.useDataProtectionKeychain = !shape.dataProtection;
        CHECK(keychain->copyMatching(otherKeychain, found) == errSecItemNotFound);
        KeychainQuery synchronizable = query;
        synchronizable.synchronizable = KeychainSynchronizable::yes;
        CHECK(keychain->copyMatching(synchronizable, found) == errSecItemNotFound);

        // A change of its data gives it our whole set of attributes.
        REQUIRE(keychain->update(query, {.data = toData("replaced"), .label = std::string("Brisko Desktop sign-in")}) ==
                errSecSuccess);
        CHECK(secretToolLookup(service, "OAuth") == "replaced");
        const std::string listed = secretToolSearch(service);
        CHECK_MESSAGE(listed.find("attribute.synchronizable = 0") != std::string::npos, listed);
        CHECK_MESSAGE(listed.find("label = Brisko Desktop sign-in") != std::string::npos, listed);
        REQUIRE(keychain->copyMatching(query, found) == errSecSuccess);
        CHECK(found.at(0).data == toData("replaced"));

        REQUIRE(keychain->deleteItems(query) == errSecSuccess);
        CHECK(secretToolLookup(service, "OAuth").empty());
    }
}

TEST_CASE("a synchronizable item of another tool stays out of reach of a plain query") {
    auto keychain = connectOrFail();
    const std::string service = "foreign-sync." + crypto::uuidString();
    secretToolStore("sync",
                    "xdg:schema " + std::string(SecretServiceKeychain::kSchemaName) + " service " + service +
                        " account OAuth synchronizable 1 keychain data-protection",
                    "shared");
    std::vector<KeychainItem> found;
    CHECK(keychain->copyMatching(queryFor(service, "OAuth"), found) == errSecItemNotFound);
    CHECK(keychain->deleteItems(queryFor(service, "OAuth")) == errSecItemNotFound);
    CHECK(secretToolLookup(service, "OAuth") == "shared");
}

// Runs in a keyring session of its own (platform_keyring_locked_tests): the collection stays locked.
TEST_CASE("a locked keyring answers at once that it cannot be used, and keeps its items" *
          doctest::test_suite("locked")) {
    auto keychain = connectOrFail();
    const std::string service = "locked." + crypto::uuidString();
    REQUIRE(keychain->add(genericPassword(service, "alice", toData("kept"))) == errSecSuccess);
    REQUIRE(lockDefaultCollection());

    // No display, so no unlock prompt can be shown: each call fails promptly instead of waiting for one.
    const auto started = std::chrono::steady_clock::now();
    std::vector<KeychainItem> found;
    CHECK(keychain->copyMatching(queryFor(service, "alice"), found) == errSecInteractionNotAllowed);
    CHECK(found.empty());
    CHECK(keychain->update(queryFor(service, "alice"), {.data = toData("lost")}) == errSecInteractionNotAllowed);
    CHECK(keychain->add(genericPassword(service + ".new", "bob", toData("new"))) == errSecInteractionNotAllowed);
    CHECK(keychain->deleteItems(queryFor(service, "alice")) == errSecInteractionNotAllowed);
    CHECK(std::chrono::steady_clock::now() - started < std::chrono::seconds(20));
}
