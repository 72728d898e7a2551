// The keychain store and its keychain calls: errors, archive class names, the legacy format, atomic
// replacement, the file-based keychain and its one-time migration; and a round trip through a real
// Secret Service (run under scripts/with-keyring.sh).
#include <doctest/doctest.h>

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "signin/AuthStateMigration.hpp"
#include "signin/session/KeychainStore.hpp"
#include "signin/session/KeychainStoreError.hpp"
#include "tests/platform/storage/keyring/KeyringTools.hpp"
#include "tests/signin/SigninTestSupport.hpp"

using namespace brisko;
using namespace brisko::signin;
using Op = platform::InMemoryKeychain::Operation;

namespace {
std::int64_t codeOf(const platform::OptionalError& error) {
    return error ? error->code() : -999;
}

struct ForeignObject {
    static constexpr std::string_view kArchiveClassName = "SomethingElse";
    void encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeInteger(1, "x"); }
    static std::shared_ptr<ForeignObject> initWithCoder(platform::KeyedUnarchiver&) {
        return std::make_shared<ForeignObject>();
    }
};
}  // namespace

TEST_CASE("missing items, empty names and removals give the store's error codes") {
    testing::SignInEnvironment env;
    KeychainStore store("auth");
    platform::OptionalError error;
    CHECK_FALSE(store.retrieveAuthSession(error));
    CHECK(error->domain() == "ETMOAuthClientKeychainErrorDomain");
    CHECK(codeOf(error) == 1);
    CHECK(*error->userInfoValue("itemName") == platform::Value("auth"));
    error.reset();
    CHECK_FALSE(store.removeAuthSession(error));
    CHECK(codeOf(error) == 9);

    KeychainWrapper wrapper({});
    for (int op = 0; op < 3; ++op) {
        platform::OptionalError e;
        if (op == 0) wrapper.passwordDataForService("", e);
        if (op == 1) wrapper.removePasswordForService("", e);
        if (op == 2) wrapper.setPassword("x", "", e);
        CHECK(codeOf(e) == 2);
        CHECK(e->userInfo().empty());
    }
    platform::OptionalError e;
    REQUIRE(wrapper.setPassword("text", "svc", e));
    CHECK(wrapper.passwordForService("svc", e) == "text");
    CHECK(wrapper.setPassword("", "svc", e));
    CHECK_FALSE(wrapper.passwordForService("svc", e));
    CHECK(codeOf(e) == 1);
}

TEST_CASE("a saved session reads back; archives of another class or no archive at all are refused") {
    testing::SignInEnvironment env;
    KeychainStore store("auth");
    platform::OptionalError error;
    REQUIRE(store.saveAuthSession(AuthSession::make(testing::makeAuthState()), error));
    auto items = env.keychain->allItems();
    REQUIRE(items.size() == 1);
    CHECK(items[0].account == "OAuth");
    CHECK(items[0].service == "auth");
    CHECK(items[0].dataProtectionKeychain);
    CHECK(items[0].accessible == platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
    CHECK(platform::toString(items[0].data).find("ETMOAuthClientFetcherAuthorization") != std::string::npos);
    auto back = store.retrieveAuthSession(error);
    REQUIRE(back);
    CHECK(back->authState()->lastTokenResponse()->accessToken() == "access-token-1");

    KeychainWrapper wrapper({});
    auto foreign = platform::KeyedArchiver::archivedDataWithRootObject(std::make_shared<ForeignObject>(), true);
    REQUIRE(wrapper.setPasswordWithData(foreign, "auth", std::nullopt, error));
    CHECK_FALSE(store.retrieveAuthSession(error));
    CHECK(codeOf(error) == 7);
    REQUIRE(wrapper.setPassword("not an archive", "auth", error));
    error.reset();
    CHECK_FALSE(store.retrieveAuthSession(error));
    REQUIRE(error);
    CHECK(error->domain() != "ETMOAuthClientKeychainErrorDomain");
}

TEST_CASE("a failed keychain write keeps the session saved before it") {
    testing::SignInEnvironment env;
    KeychainStore store("auth");
    platform::OptionalError error;
    REQUIRE(store.saveAuthSession(AuthSession::make(testing::makeAuthState()), error));
    testing::StateTokens newer;
    newer.accessToken = "access-token-2";
    env.keychain->failNext(Op::update, platform::errSecIO);
    CHECK_FALSE(store.saveAuthSession(AuthSession::make(testing::makeAuthState(newer)), error));
    CHECK(codeOf(error) == 10);
    auto kept = store.retrieveAuthSession(error);
    REQUIRE(kept);
    CHECK(kept->authState()->lastTokenResponse()->accessToken() == "access-token-1");
    REQUIRE(store.saveAuthSession(AuthSession::make(testing::makeAuthState(newer)), error));
    CHECK(store.retrieveAuthSession(error)->authState()->lastTokenResponse()->accessToken() == "access-token-2");
    CHECK(env.keychain->allItems().size() == 1);
}

TEST_CASE("the file-based store writes without accessibility into the other keychain; the legacy format round-trips") {
    testing::SignInEnvironment env;
    KeychainAttributeSet fileBased{KeychainAttribute::useFileBasedKeychain()};
    KeychainStore store("auth", fileBased);
    auto helper = std::dynamic_pointer_cast<KeychainWrapper>(store.keychainHelper());
    REQUIRE(helper);
    CHECK_FALSE(helper->keychainQueryForService("auth").useDataProtectionKeychain);
    auto group = KeychainAttribute::keychainAccessGroupWithName("team.group");
    CHECK(KeychainWrapper({group}).keychainQueryForService("s").accessGroup == "team.group");
    // Replacing the attributes afterwards changes only the save-time accessibility, not the queries.
    store.setKeychainAttributes({});
    CHECK_FALSE(helper->keychainQueryForService("auth").useDataProtectionKeychain);
    store.setKeychainAttributes(fileBased);

    platform::OptionalError error;
    auto session = AuthSession::make(testing::makeAuthState(), std::nullopt, std::nullopt, "me@example.test");
    REQUIRE(store.saveWithETMOAuth2FormatForAuthSession(*session, error));
    auto items = env.keychain->allItems();
    REQUIRE(items.size() == 1);
    CHECK_FALSE(items[0].dataProtectionKeychain);
    CHECK_FALSE(items[0].accessible);
    auto back = store.retrieveAuthSessionForEzevarInETMOAuth2Format("client", std::nullopt, error);
    REQUIRE(back);
    CHECK(back->authState()->refreshToken() == "refresh-token-1");
    CHECK(back->storedUserEmail() == "me@example.test");
}

TEST_CASE("the migration: a fresh install only sets the flag; a session moves once; a failed move is retried") {
    testing::SignInEnvironment env;
    auto defaults = platform::UserDefaults::standard();
    auto store = std::make_shared<KeychainStore>("auth");
    KeychainStore fileStore("auth", KeychainAttributeSet{KeychainAttribute::useFileBasedKeychain()});
    platform::OptionalError error;
    REQUIRE(fileStore.saveAuthSession(AuthSession::make(testing::makeAuthState()), error));
    const auto url = *platform::URL::parse("https://oauth2.ezevarapis.com/token");

    AuthStateMigration migration(store);
    const int readsBefore = env.keychain->callCount(Op::copyMatching);
    migration.migrateIfNeededWithTokenURL(url, "/oauth2callback", true);
    CHECK(env.keychain->callCount(Op::copyMatching) == readsBefore);
    CHECK(defaults->boolForKey(AuthStateMigration::kMigrationCheckPerformedKey) == true);

    defaults->removeObjectForKey(AuthStateMigration::kMigrationCheckPerformedKey);
    env.keychain->failNext(Op::update, platform::errSecIO);
    migration.migrateIfNeededWithTokenURL(url, "/oauth2callback", false);
    CHECK_FALSE(defaults->boolForKey(AuthStateMigration::kMigrationCheckPerformedKey).value_or(false));
    CHECK(fileStore.retrieveAuthSession(error));

    migration.migrateIfNeededWithTokenURL(url, "/oauth2callback", false);
    CHECK(defaults->boolForKey(AuthStateMigration::kMigrationCheckPerformedKey) == true);
    CHECK(store->retrieveAuthSession(error));
    error.reset();
    CHECK_FALSE(fileStore.retrieveAuthSession(error));
    CHECK(codeOf(error) == 1);
}

TEST_CASE("a session saved in the Secret Service reads back, is labelled for the app, and is removed" *
          doctest::test_suite("keyring")) {
    testing::SignInEnvironment env(testing::kTestClientID, std::nullopt, testing::TestKeychain::system);
    testing::requireSecretService();
    const std::string name = "brisko-signin-test";
    KeychainStore store(name);
    platform::OptionalError error;
    auto session = AuthSession::make(testing::makeAuthState(), "Ezevar");
    REQUIRE(store.saveAuthSession(session, error));
    testing::StateTokens newer;
    newer.accessToken = "access-token-2";
    REQUIRE(store.saveAuthSession(AuthSession::make(testing::makeAuthState(newer)), error));
    auto back = store.retrieveAuthSession(error);
    REQUIRE(back);
    CHECK(back->authState()->lastTokenResponse()->accessToken() == "access-token-2");
    const std::string listed = platform::testing::secretToolSearch(name);
    CHECK_MESSAGE(listed.find("label = Brisko Desktop sign-in (brisko-signin-test)") != std::string::npos, listed);
    CHECK(store.removeAuthSession(error));
    CHECK_FALSE(store.retrieveAuthSession(error));
    CHECK(codeOf(error) == 1);
    CHECK(platform::testing::secretToolLookup(name, "OAuth").empty());
}

TEST_CASE("a keyring item another tool wrote under the store's name reads as damaged and is replaced, then removed" *
          doctest::test_suite("keyring")) {
    testing::SignInEnvironment env(testing::kTestClientID, std::nullopt, testing::TestKeychain::system);
    testing::requireSecretService();
    // As a keyring tool, an import or an older build writes it: no "synchronizable", no "accessible".
    platform::testing::secretToolStore(
        "auth", "xdg:schema com.brisko.desktop.GenericPassword service auth account OAuth keychain data-protection",
        "written by another tool");
    KeychainStore store("auth");
    platform::OptionalError error;
    CHECK_FALSE(store.retrieveAuthSession(error));
    REQUIRE(error);
    // Found, and refused as no archive: not "not found".
    CHECK(error->domain() != "ETMOAuthClientKeychainErrorDomain");

    REQUIRE(store.saveAuthSession(AuthSession::make(testing::makeAuthState()), error));
    const std::string listed = platform::testing::secretToolSearch("auth");
    CHECK_MESSAGE(listed.find("label = Brisko Desktop sign-in (auth)") != std::string::npos, listed);
    CHECK(listed.find("attribute.synchronizable = 0") != std::string::npos);
    CHECK(listed.find("attribute.accessible = cku") != std::string::npos);
    // One item: the other tool's was replaced, not joined by a second.
    CHECK(listed.find("[/") == listed.rfind("[/"));
    auto back = store.retrieveAuthSession(error);
    REQUIRE(back);
    CHECK(back->authState()->lastTokenResponse()->accessToken() == "access-token-1");

    // An archive cut short (a disk that filled up under another tool) is refused as well.
    KeychainWrapper wrapper({});
    auto data = wrapper.passwordDataForService("auth", error);
    REQUIRE(data);
    data->resize(data->size() / 2);
    REQUIRE(wrapper.setPasswordWithData(*data, "auth", platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly,
                                        error));
    error.reset();
    CHECK_FALSE(store.retrieveAuthSession(error));
    REQUIRE(error);
    CHECK(error->domain() != "ETMOAuthClientKeychainErrorDomain");

    CHECK(store.removeAuthSession(error));
    CHECK(platform::testing::secretToolLookup("auth", "OAuth").empty());
}
