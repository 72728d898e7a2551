// The application-event interceptors: registration, switches and delivery of opened URLs.
#include <doctest/doctest.h>

#include "core/AppDelegateSwizzler.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/PropertyList.hpp"
#include "tests/core/CoreTestEnvironment.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko;
using namespace brisko::core;

namespace {

struct URLInterceptor : ApplicationDelegate {
    std::vector<std::string> seen;
    bool handles = true;
    std::optional<bool> applicationOpenURLs(const std::vector<std::string>& urls) override {
        seen.insert(seen.end(), urls.begin(), urls.end());
        return handles;
    }
};
struct Bystander : ApplicationDelegate {};

struct Reset {
    Reset() {
        AppDelegateSwizzler::clearInterceptors();
        AppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
        testing::clearLoggedLines();
    }
    ~Reset() {
        AppDelegateSwizzler::clearInterceptors();
        AppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
        platform::Bundle::setMain(
            std::make_shared<platform::Bundle>(testing::fixturesDirectory() / "bundle"));
    }
};

}  // namespace

TEST_CASE_FIXTURE(Reset, "opened URLs reach the interceptors once the proxy is on") {
    auto interceptor = std::make_shared<URLInterceptor>();
    auto bystander = std::make_shared<Bystander>();
    auto id = AppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    REQUIRE(id);
    CHECK(id->starts_with("EUL_0x"));
    CHECK(AppDelegateSwizzler::registerAppDelegateInterceptor(interceptor) == id);
    AppDelegateSwizzler::registerAppDelegateInterceptor(bystander);
    CHECK(AppDelegateSwizzler::interceptors().count() == 2);

    CHECK_FALSE(AppDelegateSwizzler::applicationOpenURLs({"brisko-tests://before"}));
    CHECK(interceptor->seen.empty());

    AppDelegateSwizzler::proxyOriginalDelegate();
    CHECK(AppDelegateSwizzler::isProxying());
    CHECK(AppDelegateSwizzler::applicationOpenURLs({"brisko-tests://callback?code=1"}));
    CHECK(interceptor->seen == std::vector<std::string>{"brisko-tests://callback?code=1"});
    interceptor->handles = false;
    CHECK_FALSE(AppDelegateSwizzler::applicationOpenURLs({"brisko-tests://other"}));

    AppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*id);
    AppDelegateSwizzler::applicationOpenURLs({"brisko-tests://after"});
    CHECK(interceptor->seen.size() == 2);
}

TEST_CASE_FIXTURE(Reset, "a released interceptor is dropped with a log line; bad identifiers are logged") {
    auto interceptor = std::make_shared<URLInterceptor>();
    auto id = *AppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    interceptor.reset();
    AppDelegateSwizzler::proxyOriginalDelegate();
    AppDelegateSwizzler::applicationOpenURLs({"brisko-tests://x"});
    CHECK(
        testing::logged("[EzevarUtilities/AppDelegateSwizzler][I-SWZ001010] AppDelegateProxy cannot find "
                        "interceptor with ID " +
                        id));
    CHECK(AppDelegateSwizzler::interceptors().count() == 0);

    AppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("");
    CHECK(testing::logged("[I-SWZ001003] AppDelegateProxy cannot unregister empty interceptor ID."));
    AppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
    CHECK(
        testing::logged("[I-SWZ001004] AppDelegateProxy cannot unregister interceptor that was not "
                        "registered. Interceptor ID " +
                        id));
    CHECK_FALSE(AppDelegateSwizzler::registerAppDelegateInterceptor(nullptr));
    CHECK(testing::logged("[I-SWZ001000] AppDelegateProxy cannot add nil interceptor."));
}

TEST_CASE_FIXTURE(Reset, "either switch set to false in the information property list turns the proxy off") {
    platform::testing::TemporaryDirectory folder;
    auto withInfo = [&](platform::Dictionary info) {
        platform::testing::writeText(
            folder / "Info.plist", platform::toString(platform::PropertyList::write(
                                       platform::Value(std::move(info)), platform::PropertyListFormat::xml)));
        platform::Bundle::setMain(std::make_shared<platform::Bundle>(folder.path()));
    };
    CHECK(AppDelegateSwizzler::isAppDelegateProxyEnabled());
    withInfo({{"EzevarUtilitiesAppDelegateProxyEnabled", "NO"}});  // not a Boolean or number: counts as on
    CHECK(AppDelegateSwizzler::isAppDelegateProxyEnabled());
    withInfo({{"ZudiridiAppDelegateProxyEnabled", false}});
    CHECK_FALSE(AppDelegateSwizzler::isAppDelegateProxyEnabled());
    AppDelegateSwizzler::proxyOriginalDelegate();
    CHECK_FALSE(AppDelegateSwizzler::isProxying());
    CHECK(testing::logged("[I-SWZ001011] App Delegate Proxy is disabled. "));
}
