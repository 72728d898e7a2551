// The generic OAuth provider's configuration: scopes, parameters and the callback scheme chosen from
// the client ID and the app's registered URL types.
#include <doctest/doctest.h>

#include <filesystem>
#include <fstream>

#include "auth/AuthKeychainStorage.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/OAuthProvider.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/PropertyList.hpp"
#include "tests/auth/providers/FatalCheck.hpp"
#include "tests/auth/providers/IdentityTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kClientID = "123-abc.apps.ezevarusercontent.com";

// Points the main bundle at a resources folder whose Info.plist registers the URL schemes, for the
// life of the object.
struct BundleWithSchemes {
    std::filesystem::path folder;
    explicit BundleWithSchemes(std::vector<std::string> schemes) {
        folder = std::filesystem::temp_directory_path() / ("brisko-oauth-provider-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        Array list;
        for (auto& scheme : schemes) list.emplace_back(std::move(scheme));
        const Value info(
            Dictionary{{"CFBundleURLTypes", Value(Array{Value(Dictionary{{"CFBundleURLSchemes", Value(list)}})})}});
        const auto bytes = platform::PropertyList::write(info, platform::PropertyListFormat::xml);
        std::ofstream(folder / "Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        platform::Bundle::setMain(std::make_shared<platform::Bundle>(folder));
    }
    ~BundleWithSchemes() {
        platform::Bundle::setMain(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

}  // namespace

TEST_CASE("a new provider has one empty scope, no parameters and the app's own callback scheme") {
    AuthFixture f;
    auto provider = OAuthProvider::provider(AuthProviderID::custom("oidc.example"), f.auth);
    CHECK(provider->providerID() == "oidc.example");
    CHECK(provider->scopes() == std::vector<std::string>{""});
    CHECK(provider->customParameters() == std::map<std::string, std::string>{});
    CHECK_FALSE(provider->usingClientIDScheme());
    CHECK(provider->callbackScheme() == "app-1-123456789012-ios-0123456789abcdef");
    provider->setScopes(std::vector<std::string>{"email"});
    CHECK(provider->scopes() == std::vector<std::string>{"email"});
}

TEST_CASE("the reversed client ID is the callback scheme when the app registered it, in any case") {
    BundleWithSchemes bundle({"COM.EZEVARUSERCONTENT.APPS.123-ABC"});
    AuthFixture f(AuthFixture::Settings{.appName = appWithClientID(kClientID)});
    auto provider = OAuthProvider::provider("oidc.example", f.auth);
    CHECK(provider->usingClientIDScheme());
    CHECK(provider->callbackScheme() == "com.ezevarusercontent.apps.123-abc");
}

TEST_CASE("Facebook and Apple are refused as generic providers unless an emulator is used") {
    AuthFixture f;
    // The fixture's client talks to the local service through the emulator address: both are accepted.
    CHECK(OAuthProvider::provider(AuthProviderID::facebook(), f.auth)->providerID() == "facebook.com");
    CHECK(OAuthProvider::provider(AuthProviderID::apple(), f.auth)->providerID() == "apple.com");
}

TEST_CASE("without an emulator, Facebook and Apple stop the process as generic providers" *
          doctest::test_suite("stops the process")) {
    AuthFixture f;
    // Made here, not in the child: making a client posts to the shared pool, whose threads the forked
    // child does not have.
    auto direct =
        Auth::make(f.app, std::make_shared<AuthKeychainStorageReal>(std::make_shared<platform::InMemoryKeychain>()),
                   std::make_shared<AuthBackend>(), AuthDispatcher{});
    for (const auto& [providerID, message] : {std::pair{AuthProviderID::facebook(), kFacebookGenericIDPMessage},
                                              std::pair{AuthProviderID::apple(), kAppleGenericIDPMessage}}) {
        CAPTURE(providerID.rawValue);
        auto output = stopsWith([&] { OAuthProvider::provider(providerID, direct); });
        REQUIRE(output);
        CHECK(output->find(message) != std::string::npos);
    }
}
