// The development setting that points the identity client at a local identity service: what it accepts,
// and that anything else is reported by name and ignored instead of breaking every identity request.
#include <doctest/doctest.h>

#include <cstdlib>

#include "app/account/ZudiridiIdentityClient.hpp"
#include "auth/Auth.hpp"
#include "auth/AuthKeychainStorage.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthRequestConfiguration.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/InMemoryKeychain.hpp"

using namespace brisko;

TEST_CASE("the identity emulator setting takes host:port addresses and nothing else") {
    struct Accepted {
        std::string text, host;
        std::int64_t port;
    };
    for (const auto& c :
         {Accepted{"127.0.0.1:9099", "127.0.0.1", 9099}, Accepted{"localhost:1", "localhost", 1},
          Accepted{"identity.test:65535", "identity.test", 65535}, Accepted{"[::1]:9099", "::1", 9099}}) {
        CAPTURE(c.text);
        const auto address = app::parseIdentityEmulatorHost(c.text);
        REQUIRE(address);
        CHECK(address->host == c.host);
        CHECK(address->port == c.port);
    }
    for (std::string text : {"http://[::1",     "http://127.0.0.1:9099",
                             "127.0.0.1",       "127.0.0.1:",
                             ":9099",           "127.0.0.1:0",
                             "127.0.0.1:65536", "127.0.0.1:99999999999999999999",
                             "127.0.0.1:+80",   "127.0.0.1:-1",
                             "127.0.0.1:9099/", " 127.0.0.1:9099",
                             "a b:80",          "::1:9099",
                             "[::1:9099",       "[::1]",
                             "[]:80",           "[not-an-address]:80",
                             "host/x:80",       ""}) {
        CAPTURE(text);
        CHECK_FALSE(app::parseIdentityEmulatorHost(text));
    }
}

TEST_CASE("an identity emulator setting that names no address is reported by name and leaves the client as it was") {
    static const std::string appName = "identity-emulator-setting";
    static const bool configured = [] {
        ::setenv("BRISKO_KEYCHAIN", "memory", 1);
        auto options = core::Options::initWithEzevarAppID("1:123456789012:ios:abcdef", "123456789012");
        options->setAPIKey("test-api-key");
        options->setProjectID("brisko-local");
        core::App::configureWithName(appName, options);
        return true;
    }();
    (void)configured;
    auto client = auth::Auth::make(
        core::App::appNamed(appName),
        std::make_shared<auth::AuthKeychainStorageReal>(std::make_shared<platform::InMemoryKeychain>()),
        std::make_shared<auth::AuthBackend>(), {});
    REQUIRE(client);

    platform::LogCapture log;
    app::applyIdentityEmulatorSetting(*client, "http://[::1");
    CHECK(log.contains("BRISKO_IDENTITY_EMULATOR_HOST=\"http://[::1\" is not a host:port address"));
    CHECK_FALSE(client->requestConfiguration()->emulatorHostAndPort());

    app::applyIdentityEmulatorSetting(*client, "[::1]:9099");
    CHECK(client->requestConfiguration()->emulatorHostAndPort() == "[::1]:9099");
    app::applyIdentityEmulatorSetting(*client, "127.0.0.1:9099");
    CHECK(client->requestConfiguration()->emulatorHostAndPort() == "127.0.0.1:9099");
}
