// The behaviour every keychain backend shares, checked against memory, file and Secret Service alike.
#pragma once

#include <doctest/doctest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/storage/Keychain.hpp"

namespace brisko::platform::testing {

inline KeychainItem genericPassword(std::string service, std::string account, Data data) {
    KeychainItem item;
    item.service = std::move(service);
    item.account = std::move(account);
    item.data = std::move(data);
    item.dataProtectionKeychain = true;
    item.accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    return item;
}

inline KeychainQuery queryFor(std::string service, std::optional<std::string> account = std::nullopt) {
    return KeychainQuery{
        .service = std::move(service), .account = std::move(account), .useDataProtectionKeychain = true};
}

// Runs the shared checks; `prefix` keeps the services of separate runs apart.
inline void checkKeychainContract(Keychain& keychain, const std::string& prefix) {
    const std::string service = prefix + ".service";
    const Data secret{0, 's', 'e', 'c', 0, 255};
    std::vector<KeychainItem> found;

    SUBCASE("an added item is found by service and account with its data and attributes") {
        KeychainItem item = genericPassword(service, "alice", secret);
        item.label = "Alice's token";
        REQUIRE(keychain.add(item) == errSecSuccess);
        REQUIRE(keychain.copyMatching(queryFor(service, "alice"), found) == errSecSuccess);
        REQUIRE(found.size() == 1);
        CHECK(found[0].data == secret);
        CHECK(found[0].service == service);
        CHECK(found[0].account == "alice");
        CHECK(found[0].label == "Alice's token");
        CHECK(found[0].accessible == KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
        CHECK(found[0].dataProtectionKeychain);
        CHECK(found[0].creationDate.has_value());
    }

    SUBCASE("a missing item is not found, and that is not a failure of another kind") {
        found.push_back(KeychainItem{});
        CHECK(keychain.copyMatching(queryFor(service, "nobody"), found) == errSecItemNotFound);
        CHECK(found.empty());
        CHECK(keychain.update(queryFor(service, "nobody"), {.data = secret}) == errSecItemNotFound);
        CHECK(keychain.deleteItems(queryFor(service, "nobody")) == errSecItemNotFound);
    }

    SUBCASE("adding the same service and account twice is a duplicate; another group or keychain is not") {
        REQUIRE(keychain.add(genericPassword(service, "bob", secret)) == errSecSuccess);
        CHECK(keychain.add(genericPassword(service, "bob", Data{1})) == errSecDuplicateItem);
        KeychainItem otherAccessibility = genericPassword(service, "bob", Data{2});
        otherAccessibility.accessible = KeychainAccessibility::afterFirstUnlock;
        CHECK(keychain.add(otherAccessibility) == errSecDuplicateItem);

        KeychainItem grouped = genericPassword(service, "bob", Data{3});
        grouped.accessGroup = "team.group";
        CHECK(keychain.add(grouped) == errSecSuccess);
        KeychainItem fileBased = genericPassword(service, "bob", Data{4});
        fileBased.dataProtectionKeychain = false;
        CHECK(keychain.add(fileBased) == errSecSuccess);

        // Each keychain and group sees its own item.
        REQUIRE(keychain.copyMatching(queryFor(service, "bob"), found) == errSecSuccess);
        CHECK(found.size() == 1);  // match limit one
        KeychainQuery inGroup = queryFor(service, "bob");
        inGroup.accessGroup = "team.group";
        REQUIRE(keychain.copyMatching(inGroup, found) == errSecSuccess);
        CHECK(found.at(0).data == Data{3});
        KeychainQuery legacy{.service = service, .account = "bob"};
        REQUIRE(keychain.copyMatching(legacy, found) == errSecSuccess);
        CHECK(found.at(0).data == Data{4});
        KeychainQuery all = queryFor(service, "bob");
        all.matchLimit = KeychainQuery::kMatchLimitAll;
        REQUIRE(keychain.copyMatching(all, found) == errSecSuccess);
        CHECK(found.size() == 2);
    }

    SUBCASE("update changes the data and attributes of matching items only") {
        REQUIRE(keychain.add(genericPassword(service, "carol", secret)) == errSecSuccess);
        REQUIRE(keychain.add(genericPassword(service, "dave", secret)) == errSecSuccess);
        REQUIRE(keychain.update(queryFor(service, "carol"),
                                {.data = Data{9, 9},
                                 .accessible = KeychainAccessibility::afterFirstUnlock}) == errSecSuccess);
        REQUIRE(keychain.copyMatching(queryFor(service, "carol"), found) == errSecSuccess);
        CHECK(found.at(0).data == Data{9, 9});
        CHECK(found.at(0).accessible == KeychainAccessibility::afterFirstUnlock);
        REQUIRE(keychain.copyMatching(queryFor(service, "dave"), found) == errSecSuccess);
        CHECK(found.at(0).data == secret);

        // A query naming an accessibility finds only items with it.
        KeychainQuery byAccessibility = queryFor(service);
        byAccessibility.accessible = KeychainAccessibility::afterFirstUnlock;
        byAccessibility.matchLimit = KeychainQuery::kMatchLimitAll;
        REQUIRE(keychain.copyMatching(byAccessibility, found) == errSecSuccess);
        REQUIRE(found.size() == 1);
        CHECK(found[0].account == "carol");
    }

    SUBCASE("all items of a service are listed, and deleting by service removes them all") {
        for (const char* account : {"a1", "a2", "a3"})
            REQUIRE(keychain.add(genericPassword(service, account, secret)) == errSecSuccess);
        KeychainQuery all = queryFor(service);
        all.matchLimit = KeychainQuery::kMatchLimitAll;
        REQUIRE(keychain.copyMatching(all, found) == errSecSuccess);
        std::vector<std::string> accounts;
        for (auto& i : found) accounts.push_back(i.account.value_or(""));
        std::sort(accounts.begin(), accounts.end());
        CHECK(accounts == std::vector<std::string>{"a1", "a2", "a3"});
        CHECK(keychain.deleteItems(all) == errSecSuccess);
        CHECK(keychain.copyMatching(all, found) == errSecItemNotFound);
    }

    SUBCASE("synchronizable items are found only by queries that ask for them") {
        KeychainItem shared = genericPassword(service, "sync", secret);
        shared.synchronizable = true;
        REQUIRE(keychain.add(shared) == errSecSuccess);
        CHECK(keychain.copyMatching(queryFor(service, "sync"), found) == errSecItemNotFound);
        KeychainQuery any = queryFor(service, "sync");
        any.synchronizable = KeychainSynchronizable::any;
        CHECK(keychain.copyMatching(any, found) == errSecSuccess);
        any.synchronizable = KeychainSynchronizable::yes;
        CHECK(keychain.copyMatching(any, found) == errSecSuccess);
    }

    SUBCASE("an item without a service is found by account alone, not by a query naming a service") {
        KeychainItem legacy;
        legacy.account = prefix + ".legacy-key";
        legacy.data = secret;
        REQUIRE(keychain.add(legacy) == errSecSuccess);
        REQUIRE(keychain.copyMatching(KeychainQuery{.account = legacy.account}, found) == errSecSuccess);
        CHECK(found.at(0).data == secret);
        CHECK_FALSE(found.at(0).service.has_value());
        CHECK(keychain.copyMatching(KeychainQuery{.service = service, .account = legacy.account}, found) ==
              errSecItemNotFound);
        CHECK(keychain.deleteItems(KeychainQuery{.account = legacy.account}) == errSecSuccess);
    }
}

}  // namespace brisko::platform::testing
