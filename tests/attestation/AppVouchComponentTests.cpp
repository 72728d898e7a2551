// The attestation client in the app's component container, and the identity backend sending its token
// header: present when a provider is chosen, absent (nothing changed) when none is.
#include "attestation/AppVouchComponent.hpp"
#include "attestation/AppVouchDebugProvider.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/CreateAuthURIRequest.hpp"
#include "core/App.hpp"
#include "core/ComponentType.hpp"
#include "core/Options.hpp"
#include "platform/base/Async.hpp"
#include "tests/attestation/AttestationTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/attestation-backend/AttestationBackend.hpp"

using namespace brisko::attestation;
using namespace brisko::attestation::testing;
using brisko::testing::AttestationBackend;
using brisko::testing::HttpTestServer;

namespace {

std::shared_ptr<brisko::core::App> makeApp(const std::string& name) {
    auto options = brisko::core::Options::initWithEzevarAppID("1:123:ios:abc", "480");
    options->setProjectID("test-project");
    return brisko::core::App::initInstanceWithName(name, options);
}

// Sends one identity request through the backend pipeline to a local server and returns what it got.
brisko::testing::RecordedRequest sendIdentityRequest(const std::shared_ptr<brisko::core::AppVouchInterop>& appVouch) {
    HttpTestServer identity;
    identity.on("POST", "^.*createAuthUri$", HttpTestServer::json(200, R"({"signinMethods":[]})"));
    auto configuration =
        brisko::auth::AuthRequestConfiguration::make("KEY", "1:123:ios:abc", nullptr, nullptr, appVouch);
    configuration->setEmulatorHostAndPort("127.0.0.1:" + std::to_string(identity.port()));
    brisko::auth::AuthBackend backend;
    brisko::platform::runOnMainLoop(
        backend.callCreateAuthURI(brisko::auth::CreateAuthURIRequest("a@b.c", "http://localhost", configuration)),
        std::chrono::seconds(20));
    REQUIRE(identity.requests().size() == 1);
    return identity.requests().at(0);
}

}  // namespace

TEST_CASE("without a provider no attestation component answers and identity requests carry no token header") {
    AttestationTestEnvironment env;
    AppVouchComponent::clearProviderFactory();
    auto app = makeApp("attestationNone");
    auto appVouch = brisko::core::ComponentType::instanceForProtocol<brisko::core::AppVouchInterop>(
        brisko::core::AppVouchInterop::protocol(), app->container());
    CHECK_FALSE(appVouch);
    CHECK_FALSE(AppVouchComponent::appVouchForApp(app));
    auto request = sendIdentityRequest(appVouch);
    CHECK_FALSE(request.header("X-Zudiridi-AppVouch"));
}

TEST_CASE("with a debug provider chosen, the app's identity requests carry the backend's token") {
    AttestationTestEnvironment env;
    AttestationBackend backend("projects/test-project/apps/1:123:ios:abc");
    std::vector<std::string> resourceNames;
    AppVouchComponent::setProviderFactory([&](const brisko::core::App& app, const std::string& resourceName) {
        resourceNames.push_back(resourceName);
        CHECK(app.name() == "attestationDebug");
        return AppVouchDebugProvider::initWithServiceName(app.name(), resourceName, backend.baseURL(), std::nullopt);
    });
    auto app = makeApp("attestationDebug");
    auto appVouch = brisko::core::ComponentType::instanceForProtocol<brisko::core::AppVouchInterop>(
        brisko::core::AppVouchInterop::protocol(), app->container());
    AppVouchComponent::clearProviderFactory();
    REQUIRE(appVouch);
    CHECK(resourceNames == std::vector<std::string>{"projects/test-project/apps/1:123:ios:abc"});
    // One client per app: the container keeps it.
    CHECK(brisko::core::ComponentType::instanceForProtocol<brisko::core::AppVouchInterop>(
              brisko::core::AppVouchInterop::protocol(), app->container()) == appVouch);

    auto request = sendIdentityRequest(appVouch);
    REQUIRE(backend.issuedTokens().size() == 1);
    CHECK(request.header("X-Zudiridi-AppVouch") == backend.issuedTokens().at(0));
    // The next request is served from the client's keychain cache.
    auto again = sendIdentityRequest(appVouch);
    CHECK(again.header("X-Zudiridi-AppVouch") == backend.issuedTokens().at(0));
    CHECK(backend.issuedTokens().size() == 1);

    // A backend that refuses: the placeholder still goes out.
    backend.fail(AttestationBackend::Method::exchangeDebug, AttestationBackend::Fault::unavailable);
    std::optional<AppVouchTokenResult> forced;
    AppVouchComponent::appVouchForApp(app)->tokenForcingRefresh(true,
                                                                [&](const AppVouchTokenResult& r) { forced = r; });
    REQUIRE(runUntil([&] { return forced.has_value(); }));
    CHECK(forced->error());
    CHECK(forced->token().token == AppVouchTokenResult::placeholderToken().token);
    std::optional<std::string> viaInterop;
    std::optional<brisko::platform::Error> interopError;
    appVouch->getTokenForcingRefresh(true, [&](std::shared_ptr<const brisko::core::AppVouchTokenResultInterop> r) {
        interopError = r->error();
        viaInterop = r->token();
    });
    REQUIRE(runUntil([&] { return viaInterop.has_value(); }));
    CHECK(*viaInterop == std::string(kPlaceholderTokenText));
    CHECK(interopError);
}
