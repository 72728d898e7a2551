// The Secret Service keychain against a real GNOME Keyring in a private D-Bus session
// (run through scripts/with-keyring.sh).
#include <doctest/doctest.h>

#include <cstdio>
#include <memory>

#include "platform/storage/Crypto.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "platform/storage/KeychainSelection.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/SecretServiceKeychain.hpp"
#include "tests/platform/storage/KeychainContract.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

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

// What another tool sees in the keyring: secret-tool's answer for an item's attributes.
std::string secretToolLookup(const std::string& service, const std::string& account) {
    std::string command =
        "secret-tool lookup service '" + service + "' account '" + account + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
    return out;
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
        [](std::string& whyNot) -> std::shared_ptr<Keychain> {
            return SecretServiceKeychain::connect(whyNot);
        },
        fileStore, [&](std::chrono::milliseconds) { waited = true; }, std::chrono::milliseconds(1));
    REQUIRE(chosen);
    CHECK(chosen->backendName() == "Secret Service");
    CHECK_FALSE(waited);
    CHECK(logs.contains("Moved keychain items from the private file into the Secret Service: 1"));
    CHECK(secretToolLookup(service, "from-file") == "kept");
    std::vector<KeychainItem> found;
    CHECK(fileStore->copyMatching(queryFor(service, "from-file"), found) == errSecItemNotFound);
}
