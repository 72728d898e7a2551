// The account service with a fake identity service and a local companion service: configuration,
// pairing on each passage to signed in, sign-in and sign-out, tokens and authorised requests.
#include <doctest/doctest.h>

#include "app/account/AuthError.hpp"
#include "app/CompanionViewModel.hpp"
#include "core/App.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {
std::size_t pairings(const RecorderFixture& f) {
    return f.service.requests("POST", FakeCompanionService::kPairingPath).size();
}
std::size_t unpairings(const RecorderFixture& f) {
    return f.service.requests("DELETE", FakeCompanionService::kPairingPath).size();
}
}  // namespace

TEST_CASE(
    "configuration reads the options file, sets the Ezevar client ID and reports the restored user once") {
    RecorderFixture f;
    auto stored = std::make_shared<FakeIdentityUser>("stored@example.com");
    f.identity->setUser(stored);  // a user restored at launch
    platform::LogCapture log;
    int reports = 0;
    f.auth->setOnAuthStateChange([&](std::shared_ptr<IdentityUser> u) {
        ++reports;
        CHECK(u == stored);
    });
    f.auth->configureZudiridi();
    CHECK(log.contains("✅ Zudiridi configured from EzevarService-Info.plist"));
    CHECK(f.ezevar->clientID == "000000000000-placeholder.apps.ezevarusercontent.com");
    REQUIRE(waitFor(
        [&] { return pairings(f) == 1 && log.contains("[Companion] Desktop Companion ペアリング完了"); }));
    CHECK(reports == 1);
    CHECK(f.auth->isAuthenticated());
    CHECK(f.auth->idToken() == "token-1");
    auto pairing = f.service.requests("POST", FakeCompanionService::kPairingPath)[0];
    CHECK(pairing.body == "{\"deviceName\":\"Test Machine\"}");
    CHECK(pairing.header("authorization") == "Bearer token-1");
    CHECK(pairing.header("content-type") == "application/json");
}

TEST_CASE("a missing or unreadable options file stops the set-up after its log line") {
    brisko::core::App::resetApps();  // a run without any options file has no app core
    TempDir dir;
    for (auto [path, line] :
         {std::pair<std::optional<std::string>, const char*>{
              std::nullopt, "❌ EzevarService-Info.plist not found in bundle"},
          {(dir / "broken.plist").string(), "❌ Failed to load ZudiridiOptions from plist"}}) {
        std::ofstream(dir / "broken.plist") << "not a plist";
        auto identity = std::make_shared<FakeIdentityClient>();
        auto ezevar = std::make_shared<FakeEzevarSignIn>();
        auto service =
            AuthService::make({identity, ezevar, nullptr, "https://x", [p = path] { return p; }, {}});
        platform::LogCapture log;
        service->configureZudiridi();
        std::vector<std::string> setupLines;  // (earlier tests' pairing tasks may still log meanwhile)
        for (auto& m : log.messages()) {
            if (m.starts_with("❌") || m.starts_with("✅")) setupLines.push_back(m);
        }
        CHECK(setupLines == std::vector<std::string>{line});
        CHECK_FALSE(service->didConfigureZudiridi());
        platform::MainLoop::runFor(std::chrono::milliseconds(20));
        CHECK_FALSE(service->isAuthenticated());
        // Signing in then fails for want of a client ID.
        try {
            run(service->signIn(1));
            FAIL("sign-in should fail");
        } catch (const platform::ErrorException& e) {
            CHECK(AuthError::is(e.error(), AuthError::Code::missingClientID));
            CHECK(e.error().localizedDescription() == "ZudiridiのClient IDが見つかりません");
        }
    }
}

TEST_CASE("each passage from signed out to signed in pairs exactly once") {
    RecorderFixture f;
    f.auth->configureZudiridi();
    waitFor([&] { return false; }, std::chrono::milliseconds(20));
    CHECK(pairings(f) == 0);  // launch without a stored user

    auto user = f.signInUser();
    REQUIRE(waitFor([&] { return pairings(f) == 1; }));
    f.identity->reportAgain();  // a token renewal or a repeated report for the same user
    platform::MainLoop::runFor(std::chrono::milliseconds(100));
    CHECK(pairings(f) == 1);

    f.identity->setUser(nullptr);
    REQUIRE(waitFor([&] { return !f.auth->isAuthenticated(); }));
    CHECK(unpairings(f) == 0);  // unpairing is the sign-out task's job
    f.signInUser("again@example.com");
    REQUIRE(waitFor([&] { return pairings(f) == 2; }));
}

TEST_CASE("a token error is logged, the state is still reported and the pairing still runs") {
    RecorderFixture f;
    f.auth->configureZudiridi();
    auto user = std::make_shared<FakeIdentityUser>("a@example.com");
    user->tokenFails = true;
    platform::LogCapture log;
    f.identity->setUser(user);
    REQUIRE(waitFor(
        [&] { return log.contains("[Companion] ペアリング失敗（無視して継続）: identity failure"); }));
    CHECK(log.contains("❌ IDトークン取得エラー: identity failure"));
    CHECK(f.auth->isAuthenticated());
    CHECK_FALSE(f.auth->idToken().has_value());
}

TEST_CASE("sign-in goes through Ezevar then the identity client, and needs an Ezevar ID token") {
    RecorderFixture f;
    f.auth->configureZudiridi();
    platform::LogCapture log;
    run(f.auth->signIn(77));
    CHECK(f.ezevar->presentedOn == std::vector<std::uint64_t>{77});
    REQUIRE(f.identity->signIns.size() == 1);
    CHECK(f.identity->signIns[0] ==
          std::pair<std::string, std::string>{"ezevar-id-token", "ezevar-access-token"});
    // Paired as the client sees it: the service's count alone leaves the reply's log line to come.
    REQUIRE(waitFor(
        [&] { return pairings(f) == 1 && log.contains("[Companion] Desktop Companion ペアリング完了"); }));

    f.ezevar->tokens.idToken.reset();
    try {
        run(f.auth->signIn(77));
        FAIL("sign-in should fail");
    } catch (const platform::ErrorException& e) {
        CHECK(AuthError::is(e.error(), AuthError::Code::noIdToken));
    }
    CHECK(f.identity->signIns.size() == 1);

    // The Ezevar layer's own error (the user's cancellation) passes through unchanged.
    f.ezevar->error = platform::Error("com.ezevar.EIDSignIn", -5);
    log.clear();
    run(signIn(f.auth, 77));
    CHECK(log.messages() == std::vector<std::string>{"[Companion] ログイン失敗: com.ezevar.EIDSignIn#-5"});
    log.clear();
    run(signIn(f.auth, 0));  // no key window: nothing happens
    CHECK(log.messages().empty());
}

TEST_CASE("tokens: signed out fails before any request; a forced refresh renews") {
    RecorderFixture f;
    for (bool force : {false, true}) {
        try {
            run(f.auth->getIDToken(force));
            FAIL("should fail");
        } catch (const platform::ErrorException& e) {
            CHECK(AuthError::is(e.error(), AuthError::Code::notAuthenticated));
            CHECK(e.error().localizedDescription() == "ログインが必要です");
            CHECK(e.error().domain() == "brisko::app::AuthError");
            CHECK(e.error().code() == 3);
        }
    }
    auto user = f.signInUser();
    CHECK(run(f.auth->getIDToken(false)) == "token-1");
    CHECK(run(f.auth->getIDToken(true)) == "refreshed-1");
    user->refreshFails = true;
    CHECK_THROWS_AS(run(f.auth->getIDToken(true)), platform::ErrorException);
}

TEST_CASE("an authorised request is resent once with a fresh token after a 401, never twice") {
    RecorderFixture f;
    auto user = f.signInUser();
    REQUIRE(waitFor([&] { return pairings(f) == 1; }));
    auto url = *platform::URL::parse(f.service.baseURL() + FakeCompanionService::kPairingPath);
    struct Case {
        std::vector<int> replies;
        std::optional<int> failure;
    };
    for (const auto& c :
         {Case{{401, 204}, std::nullopt}, Case{{401, 401}, 401}, Case{{403}, 403}, Case{{500}, 500}}) {
        CAPTURE(c.replies[0]);
        f.service.clear();
        f.service.script("DELETE", FakeCompanionService::kPairingPath, c.replies);
        std::optional<platform::Error> error;
        try {
            run(f.auth->sendAuthorizedRequest(url, "DELETE", std::nullopt));
        } catch (const platform::ErrorException& e) {
            error = e.error();
        }
        auto sent = f.service.requests("DELETE", FakeCompanionService::kPairingPath);
        CHECK(sent.size() == c.replies.size());
        if (sent.size() == 2) CHECK(sent[1].header("authorization") != sent[0].header("authorization"));
        CHECK(error.has_value() == c.failure.has_value());
        if (error && c.failure) {
            CHECK(AuthError::is(*error, AuthError::Code::httpError));
            CHECK(error->localizedDescription() == "HTTPエラー: " + std::to_string(*c.failure));
        }
    }
}

TEST_CASE("sign-out delivers the buffer, unpairs, then signs out of the identity client and Ezevar") {
    RecorderFixture f;
    auto user = f.signInUser();
    REQUIRE(waitFor([&] { return pairings(f) == 1; }));
    f.ezevar->events = f.identity->events;
    f.fill(3);
    std::vector<std::string> seenBySignOut;
    f.identity->beforeSignOut = [&] {
        for (auto& r : f.service.requests()) seenBySignOut.push_back(r.method + " " + r.path);
    };
    platform::LogCapture log;
    run(signOut(f.auth, f.recorder));
    CHECK(seenBySignOut == std::vector<std::string>{"POST /api/user/desktop-companion",
                                                    "POST /api/mac-activity/ingest",
                                                    "DELETE /api/user/desktop-companion"});
    CHECK(*f.identity->events == std::vector<std::string>{"identity.signOut", "ezevar.signOut"});
    CHECK(f.service.ingests()[0].header("authorization") == "Bearer token-1");
    REQUIRE(waitFor([&] { return !f.auth->isAuthenticated(); }));
    CHECK(log.contains("[Companion] Desktop Companion ペアリング解除完了"));
    CHECK(log.contains("[ActivityTracking] Discarded 0 undelivered entries at sign-out"));
}

TEST_CASE("what could not be delivered before sign-out is discarded, never sent under the next account") {
    RecorderFixture f;
    f.signInUser("first@example.com");
    f.fill(4);
    f.service.scriptIngest({503});  // the service cannot take them now
    f.service.script("DELETE", FakeCompanionService::kPairingPath, {500});
    platform::LogCapture log;
    run(signOut(f.auth, f.recorder));
    REQUIRE(waitFor(
        [&] { return log.contains("[ActivityTracking] Discarded 4 undelivered entries at sign-out"); }));
    CHECK(log.contains("[Companion] ペアリング解除失敗（無視して継続）: HTTPエラー: 500"));
    CHECK(f.buffer->count() == 0);
    CHECK(ActivityBufferFile(f.bufferPath()).load().empty());

    f.service.clear();
    f.signInUser("second@example.com");
    run(f.recorder->upload());
    CHECK(f.service.ingests().empty());
}

TEST_CASE("an upload under way when its account signs out sends nothing more and puts nothing back") {
    RecorderFixture f;
    auto first = f.signInUser("first@example.com");
    f.fill(1200);
    f.service.scriptIngest({200});
    bool done = false;
    platform::spawn(platform::DispatchQueue::main(), f.recorder->upload(),
                    [&](std::exception_ptr) { done = true; });
    // Sign out as soon as the first chunk has gone.
    REQUIRE(waitFor([&] { return !f.service.ingests().empty(); }));
    f.identity->setUser(nullptr);
    auto second = std::make_shared<FakeIdentityUser>("second@example.com", "second-token");
    f.identity->setUser(second);
    REQUIRE(waitFor([&] { return done; }));
    for (auto& r : f.service.ingests()) CHECK(r.header("authorization") != "Bearer second-token");
    CHECK(f.buffer->count() == 0);
}

TEST_CASE("a failing identity sign-out is logged and Ezevar stays signed in") {
    RecorderFixture f;
    f.signInUser();
    f.ezevar->events = f.identity->events;
    f.identity->signOutError = platform::Error("ZIRAuthErrorDomain", 17995);
    platform::LogCapture log;
    run(signOut(f.auth, f.recorder));
    CHECK(log.contains("[Companion] ログアウト失敗: ZIRAuthErrorDomain#17995"));
    CHECK(*f.identity->events == std::vector<std::string>{"identity.signOut"});
}
