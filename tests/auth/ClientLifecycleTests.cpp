// The identity client around its current user: start-up restores that fail, the internal notification, an app's
// deletion, the sign-in-method look-up and the check of action codes.
#include <doctest/doctest.h>

#include "auth/Auth.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/ActionCodeInfo.hpp"
#include "auth/providers/ActionCodeSettings.hpp"
#include "auth/providers/GitHubAuthProvider.hpp"
#include "core/App.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "tests/auth/AuthTestSupport.hpp"
#include "tests/auth/providers/ArchiveFixtures.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using Fault = brisko::testing::IdentityService::Fault;

namespace {
constexpr std::string_view kStartupFailure = "Error loading saved user when starting up: ";

// Replaces the bytes of the one stored item.
void replaceStoredData(AuthFixture& f, platform::Data data) {
    auto items = f.keychain->allItems();
    REQUIRE(items.size() == 1);
    auto item = items.front();
    item.data = std::move(data);
    f.keychain->removeAll();
    REQUIRE(f.keychain->add(item) == platform::errSecSuccess);
}
}  // namespace

TEST_CASE("a start-up restore that fails is logged, leaves the client signed out and keeps what it could not read") {
    SUBCASE("a locked keychain: the item survives and the next launch restores it") {
        AuthFixture f;
        const auto uid = f.signInWithEzevar()->user()->uid();
        platform::LogCapture log;
        f.keychain->failNext(platform::InMemoryKeychain::Operation::copyMatching,
                             platform::errSecInteractionNotAllowed);
        auto locked = f.relaunch();
        CHECK(locked->currentUser() == nullptr);
        // The shared logger may write the line a moment after the restore ended.
        REQUIRE(waitOnMain([&] { return log.contains(std::string(kStartupFailure)); }));
        CHECK(log.contains("I-AUT000001"));
        CHECK(log.contains("17995"));
        CHECK(f.keychain->allItems().size() == 1);
        auto unlocked = f.relaunch();
        REQUIRE(unlocked->currentUser());
        CHECK(unlocked->currentUser()->uid() == uid);
    }
    SUBCASE("a damaged archive: signed out, and the next sign-in stores over it") {
        AuthFixture f;
        f.signInWithEzevar();
        replaceStoredData(f, platform::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0x00, 0x13});
        platform::LogCapture log;
        auto damaged = f.relaunch();
        CHECK(damaged->currentUser() == nullptr);
        CHECK(waitOnMain([&] { return log.contains(std::string(kStartupFailure)); }));
        f.auth = damaged;
        auto user = f.signInWithEzevar("sub-2", "two@example.com")->user();
        CHECK(f.relaunch()->currentUser()->uid() == user->uid());
    }
    SUBCASE("an archive of an older shape, with only the first keys of a user, is restored") {
        AuthFixture f;
        auto user = f.signInWithEzevar("sub-old", "old@example.com")->user();
        platform::Dictionary entries{
            {std::string(User::kUserIDCodingKey), user->uid()},
            {std::string(User::kEmailCodingKey), std::string("old@example.com")},
            {std::string(User::kAnonymousCodingKey), false},
            {std::string(User::kTokenServiceCodingKey), platform::Value::object(user->tokenService())},
        };
        platform::KeyedArchiver archiver;
        archiver.setClassName<RawObject>(User::kArchiveClassName);
        archiver.encodeObject(std::make_shared<RawObject>(RawObject{std::move(entries)}), f.auth->storedUserKey());
        replaceStoredData(f, archiver.encodedData());
        platform::LogCapture log;
        auto restored = f.relaunch()->currentUser();
        REQUIRE(restored);
        CHECK_FALSE(log.contains(std::string(kStartupFailure)));
        CHECK(restored->uid() == user->uid());
        CHECK(restored->email() == std::optional<std::string>("old@example.com"));
        CHECK(restored->providerData().empty());
        REQUIRE(restored->metadata());
        // It works as a user: its token refreshes and its profile reloads.
        CHECK_FALSE(f.run(restored->getIDToken(true)).empty());
        f.run(restored->reload());
        CHECK(restored->providerData().size() == 1);
    }
}

TEST_CASE("the internal notification carries the app, the new token and the uid, and comes before the public one") {
    AuthFixture f;
    f.settle();
    std::vector<std::string> order;
    std::vector<platform::Dictionary> infos;
    auto& center = platform::NotificationCenter::defaultCenter();
    auto internal = center.addObserver(std::string(kAuthStateDidChangeInternalNotification), f.auth.get(), nullptr,
                                       [&](const platform::Notification& n) {
                                           order.push_back("internal");
                                           infos.push_back(n.userInfo);
                                       });
    auto external = center.addObserver(std::string(kAuthStateDidChangeNotification), f.auth.get(), nullptr,
                                       [&](const platform::Notification& n) {
                                           order.push_back("public");
                                           CHECK(n.userInfo.empty());
                                       });
    auto user = f.signInWithEzevar()->user();
    f.auth->signOut();
    REQUIRE(waitOnMain([&] { return order.size() == 4; }));
    CHECK(order == std::vector<std::string>{"internal", "public", "internal", "public"});
    const auto appKey = std::string(kAuthStateDidChangeInternalNotificationAppKey);
    const auto tokenKey = std::string(kAuthStateDidChangeInternalNotificationTokenKey);
    const auto uidKey = std::string(kAuthStateDidChangeInternalNotificationUIDKey);
    REQUIRE(infos.size() == 2);
    CHECK(infos[0].at(appKey).object<core::App>() == f.app);
    CHECK(infos[0].at(tokenKey).string() != nullptr);
    CHECK(*infos[0].at(tokenKey).string() == user->tokenService()->accessToken());
    CHECK(*infos[0].at(uidKey).string() == user->uid());
    CHECK(infos[1].at(appKey).object<core::App>() == f.app);
    CHECK_FALSE(infos[1].contains(tokenKey));
    CHECK_FALSE(infos[1].contains(uidKey));
    center.removeObserver(internal);
    center.removeObserver(external);
}

TEST_CASE("an app's deletion removes its stored user and announces it; nothing cached, nothing deleted") {
    AuthFixture f;
    f.signInWithEzevar();
    REQUIRE(f.keychain->allItems().size() == 1);
    int posts = 0;
    auto& center = platform::NotificationCenter::defaultCenter();
    auto observer = center.addObserver(std::string(kAuthStateDidChangeNotification), nullptr, nullptr,
                                       [&](const platform::Notification& n) {
                                           if (!n.object) ++posts;
                                       });
    f.auth->appWillBeDeleted(f.app);
    REQUIRE(waitOnMain([&] { return posts == 1; }));
    CHECK(f.keychain->allItems().empty());
    CHECK_FALSE(Auth::deleteKeychainServiceName(f.appName));

    // Again: the service name is no longer cached, so nothing is deleted, and it is still announced.
    const auto deletes = f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems);
    f.auth->appWillBeDeleted(f.app);
    REQUIRE(waitOnMain([&] { return posts == 2; }));
    CHECK(f.keychain->callCount(platform::InMemoryKeychain::Operation::deleteItems) == deletes);
    center.removeObserver(observer);
}

TEST_CASE("the sign-in methods of an address are those of its account, none for an unknown one") {
    AuthFixture f;
    f.service.createAccount("both@example.com", "secret1");
    auto user = f.run(f.auth->signIn(std::string("both@example.com"), std::string("secret1")))->user();
    f.run(user->link(GitHubAuthProvider::credential("gh-token")));
    CHECK(f.run(f.auth->fetchSignInMethods("both@example.com")) == std::vector<std::string>{"password", "github.com"});
    CHECK(f.run(f.auth->fetchSignInMethods("nobody@example.com")).empty());
    CHECK(errorCode([&] { f.run(f.auth->fetchSignInMethods("not an address")); }) ==
          rawValue(AuthErrorCode::invalidEmail));
    // A reply without a list gives an empty one.
    f.service.injectFault("createAuthUri", Fault::ofBody(200, R"({"registered":false})").once());
    CHECK(f.run(f.auth->fetchSignInMethods("both@example.com")).empty());
}

TEST_CASE("checking an action code names its operation and addresses, for every kind of code") {
    AuthFixture f;
    f.service.createAccount("code@example.com", "secret1");
    auto user = f.run(f.auth->signIn(std::string("code@example.com"), std::string("secret1")))->user();
    auto settings = std::make_shared<ActionCodeSettings>();
    settings->setHandleCodeInApp(true);
    settings->setURL(platform::URL::parse("https://example.com/finish"));
    f.run(f.auth->sendPasswordReset("code@example.com", std::shared_ptr<const ActionCodeSettings>()));
    f.run(f.auth->sendSignInLink("code@example.com", settings));
    f.run(user->sendEmailVerification(std::shared_ptr<const ActionCodeSettings>()));
    f.run(user->sendEmailVerificationBeforeUpdating("next@example.com", std::shared_ptr<const ActionCodeSettings>()));
    const auto codes = f.service.oobCodes();
    REQUIRE(codes.size() == 4);
    struct Expected {
        ActionCodeOperation operation;
        const char* email;
        std::optional<std::string> previousEmail;
    };
    const Expected expected[] = {
        {ActionCodeOperation::resetPassword, "code@example.com", std::nullopt},
        {ActionCodeOperation::signIn, "code@example.com", std::nullopt},
        {ActionCodeOperation::verifyEmail, "code@example.com", std::nullopt},
        {ActionCodeOperation::verifyAndChangeEmail, "next@example.com", "code@example.com"},
    };
    for (std::size_t i = 0; i < codes.size(); ++i) {
        CAPTURE(codes[i].requestType);
        auto info = f.run(f.auth->checkActionCode(codes[i].code));
        CHECK(info->operation() == expected[i].operation);
        CHECK(info->email() == expected[i].email);
        CHECK(info->previousEmail() == expected[i].previousEmail);
    }

    // The kinds the service makes by itself, and one it may add later.
    struct Reply {
        const char* requestType;
        ActionCodeOperation operation;
    };
    const Reply replies[] = {
        {"RECOVER_EMAIL", ActionCodeOperation::recoverEmail},
        {"REVERT_SECOND_FACTOR_ADDITION", ActionCodeOperation::revertSecondFactorAddition},
        {"SOMETHING_NEW", ActionCodeOperation::unknown},
    };
    for (const auto& r : replies) {
        CAPTURE(r.requestType);
        f.service.injectFault(
            "resetPassword",
            Fault::ofBody(200, std::string(R"({"email":"code@example.com","requestType":")") + r.requestType + "\"}")
                .once());
        CHECK(f.run(f.auth->checkActionCode("any"))->operation() == r.operation);
    }
    CHECK(errorCode([&] { f.run(f.auth->checkActionCode("no-such-code")); }) ==
          rawValue(AuthErrorCode::invalidActionCode));
}
