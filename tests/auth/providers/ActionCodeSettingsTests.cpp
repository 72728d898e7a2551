// Action-code settings: starting values and per-property updates from several threads.
#include <doctest/doctest.h>

#include <thread>
#include <vector>

#include "auth/providers/ActionCodeSettings.hpp"
#include "platform/storage/Bundle.hpp"

using namespace brisko;
using namespace brisko::auth;

TEST_CASE("new settings start empty, with the main bundle's identifier") {
    ActionCodeSettings settings;
    CHECK_FALSE(settings.url());
    CHECK_FALSE(settings.handleCodeInApp());
    CHECK_FALSE(settings.androidInstallIfNotAvailable());
    CHECK(settings.iOSBundleID() == platform::Bundle::main()->bundleIdentifier());
    CHECK_FALSE(settings.linkDomain());

    settings.setURL(platform::URL::parse("https://app/continue"));
    settings.setURL(std::nullopt);
    CHECK_FALSE(settings.url());

    settings.setAndroidPackageName("com.example", true, std::nullopt);
    CHECK(settings.androidPackageName() == "com.example");
    CHECK(settings.androidInstallIfNotAvailable());
    CHECK_FALSE(settings.androidMinimumVersion());
}

TEST_CASE("settings shared between threads keep each property whole") {
    ActionCodeSettings settings;
    std::vector<std::thread> threads;
    std::vector<int> torn(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&settings, &torn, t] {
            const std::string domain = "domain-" + std::to_string(t) + std::string(64, 'x');
            for (int i = 0; i < 500; ++i) {
                settings.setLinkDomain(domain);
                auto read = settings.linkDomain();
                if (!read || read->size() != domain.size()) ++torn[static_cast<std::size_t>(t)];
                settings.setHandleCodeInApp(i % 2 == 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK(torn == std::vector<int>(4, 0));
    CHECK(settings.linkDomain()->starts_with("domain-"));
}
