// The user's language on identity requests: the desktop's locale settings, as the local identity
// service receives them.
#include <doctest/doctest.h>

#include "auth/Auth.hpp"
#include "auth/User.hpp"
#include "platform/storage/Bundle.hpp"
#include "tests/auth/AuthTestSupport.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko;
using namespace brisko::auth::test;
using platform::testing::ScopedEnvironment;

TEST_CASE("identity requests ask for the user's language, and the app language is the user's") {
    struct Case {
        std::optional<std::string> language;
        std::optional<std::string> lang;
        std::string acceptLanguage;
        std::optional<std::string> locale;
    };
    const Case cases[] = {
        {std::nullopt, "ja_JP.UTF-8", "ja-JP", "ja-JP"},
        {"fr:de", "ja_JP.UTF-8", "fr", "fr"},
        // No language named: the app's own (its Info.plist says Japanese), and no locale header.
        {std::nullopt, "C.UTF-8", "ja", std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.acceptLanguage);
        ScopedEnvironment language("LANGUAGE", c.language);
        ScopedEnvironment all("LC_ALL", std::nullopt);
        ScopedEnvironment messages("LC_MESSAGES", std::nullopt);
        ScopedEnvironment lang("LANG", c.lang);
        // A fresh main bundle reads the languages as a new launch would.
        const auto resources = platform::Bundle::main()->resourcePath();
        platform::Bundle::setMain(std::make_shared<platform::Bundle>(resources));
        {
            AuthFixture f;
            auto user = f.signInWithEzevar()->user();
            f.auth->useAppLanguage();
            f.run(user->getIDToken(true));
            const auto requests = f.service.requests();
            REQUIRE(requests.size() >= 3);
            for (const auto& request : requests) {
                CAPTURE(request.path);
                CHECK(request.header("Accept-Language") == c.acceptLanguage);
            }
            CHECK(requests.back().header("X-Zudiridi-Locale") == c.locale);
            CHECK_FALSE(requests.front().header("X-Zudiridi-Locale"));
        }
        platform::Bundle::setMain(nullptr);
    }
}
