// A sign-in whose redirect comes back through the app's URL scheme: the scripted browser launches the
// app's binary a second time with the redirect URL, and that launch hands it to the running instance
// (this test), which resumes the flow; against the real OpenID provider.
#include <doctest/doctest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "oauth/AuthState.hpp"
#include "oauth/AuthorizationService.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/IDToken.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/desktop/QtMainExecutor.hpp"
#include "platform/desktop/SingleInstance.hpp"
#include "tests/support/oidc/OpenIDProvider.hpp"

using namespace brisko;
using namespace brisko::oauth;
using testing::OpenIDProvider;

namespace {

// Runs Qt's event loop (the main queue here) until the predicate holds; false when the time ran out.
bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

}  // namespace

TEST_CASE("a redirect to the app's scheme reaches the running instance through a second launch of the app") {
    namespace fs = std::filesystem;
    auto runtime = fs::temp_directory_path() / ("brisko-scheme-" + std::to_string(::getpid()));
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    // The second launch finds this process through the per-user socket in $XDG_RUNTIME_DIR, and needs no
    // display to hand the URL over.
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    static int argc = 1;
    static char name[] = "oauth_scheme_tests";
    static char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    platform::MainLoop::installExecutor(platform::QtMainExecutor{});

    OpenIDProvider provider;
    ServiceConfigurationPtr configuration;
    AuthorizationService::discoverServiceConfigurationForIssuer(
        *URL::parse(provider.issuer()), [&](ServiceConfigurationPtr c, OptionalError) { configuration = c; });
    REQUIRE(pumpUntil([&] { return configuration != nullptr; }));

    auto request = AuthorizationRequest::make(configuration, std::string(OpenIDProvider::kNativeClientID), std::nullopt,
                                              {"openid", "offline_access"},
                                              *URL::parse(OpenIDProvider::kCustomSchemeRedirect), "code",
                                              {{"prompt", "consent"}});

    // This process is the running instance: URLs handed over go to the flow.
    std::shared_ptr<AuthorizationSession> session;
    std::vector<std::string> handedOver;
    platform::SingleInstance instance;
    REQUIRE(instance.start(platform::SingleInstance::Request{}, [&](const platform::SingleInstance::Request& r) {
        for (const auto& url : r.urls) {
            handedOver.push_back(url);
            if (auto parsed = URL::parse(url); parsed && session) session->resumeExternalUserAgentFlowWithURL(*parsed);
        }
    }) == platform::SingleInstance::Role::primary);

    std::thread browser;
    testing::ProcessResult browserRun;
    auto agent = std::make_shared<ExternalUserAgentMac>();
    agent->setURLOpener([&](std::string_view url) {
        browser = std::thread([&browserRun, u = std::string(url)] {
            browserRun = testing::ScriptedBrowser::run({u, "--exec", BRISKO_APP_BINARY, "--"});
        });
        return true;
    });
    std::shared_ptr<AuthState> state;
    OptionalError error;
    bool finished = false;
    session = AuthState::authStateByPresentingAuthorizationRequest(request, agent,
                                                                   [&](std::shared_ptr<AuthState> s, OptionalError e) {
                                                                       state = std::move(s);
                                                                       error = std::move(e);
                                                                       finished = true;
                                                                   });
    bool done = pumpUntil([&] { return finished; });
    browser.join();
    INFO(browserRun.output);
    REQUIRE(done);
    CHECK(browserRun.contains("EXEC 0"));
    REQUIRE(handedOver.size() == 1);
    CHECK(handedOver.front().starts_with(std::string(OpenIDProvider::kCustomSchemeRedirect) + "?code="));
    REQUIRE_MESSAGE(state, (error ? error->description() : std::string()));
    CHECK(state->isAuthorized());
    auto idToken = IDToken::initWithIDTokenString(*state->idToken());
    REQUIRE(idToken);
    CHECK(idToken->nonce() == request->nonce());
    fs::remove_all(runtime);
}
