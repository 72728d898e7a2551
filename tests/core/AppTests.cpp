// The app registry and options: configuring from the options file among the resources, misuse with
// its exact exception texts, the app-ID check, deletion and the data-collection switch.
#include <doctest/doctest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "core/App.hpp"
#include "core/AuthInterop.hpp"
#include "core/ComponentType.hpp"
#include "core/CoreLogger.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/core/CoreTestEnvironment.hpp"
#include "tests/core/FakeAuthComponent.hpp"

using namespace brisko;
using namespace brisko::core;
using testing::logged;

namespace {

constexpr std::string_view kFixtureAppID = "1:123456789012:ios:0a1b2c3d4e5f6789";
constexpr std::string_view kFixtureClientID = "123456789012-abcdefghijklmnop.apps.example.test";

std::shared_ptr<Options> validOptions() {
    auto options = Options::initWithEzevarAppID(std::string(kFixtureAppID), "123456789012");
    options->setAPIKey("key");
    return options;
}

// The reason of the exception named "com.zudiridi.core" that the call raises.
template <class F>
std::string coreExceptionReason(F&& f) {
    try {
        f();
    } catch (const platform::ProgrammingException& e) {
        CHECK(e.name() == kCoreExceptionName);
        return e.reason();
    }
    FAIL("no exception was raised");
    return {};
}

struct CleanRegistry {
    CleanRegistry() {
        App::resetApps();
        Options::resetDefaultOptions();
        testing::clearLoggedLines();
    }
    ~CleanRegistry() {
        App::resetApps();
        Options::resetDefaultOptions();
        platform::Bundle::setMain(
            std::make_shared<platform::Bundle>(testing::fixturesDirectory() / "bundle"));
    }
};

}  // namespace

TEST_CASE_FIXTURE(CleanRegistry, "the default app configures from the options file among the resources") {
    std::optional<platform::Notification> ready;
    platform::ObserverRegistration observer(
        platform::NotificationCenter::defaultCenter(),
        platform::NotificationCenter::defaultCenter().addObserver(
            std::string(kAppReadyToConfigureSDKNotification), nullptr, nullptr,
            [&](const platform::Notification& n) { ready = n; }));
    CHECK_FALSE(App::defaultApp());
    CHECK(logged("[ZudiridiCore][I-COR000003] The default Zudiridi app has not yet been configured."));

    const int createdBefore = testing::fakeAuthCounters().created;
    App::configure();
    auto app = App::defaultApp();
    REQUIRE(app);
    CHECK(app->name() == kDefaultAppName);
    CHECK(app->isDefaultApp());
    CHECK(app->options()->clientID() == kFixtureClientID);
    CHECK(app->options()->ezevarAppID() == kFixtureAppID);

    // The identity client's slot was filled eagerly, once, for this app.
    CHECK(testing::fakeAuthCounters().created == createdBefore + 1);
    auto auth =
        ComponentType::instanceForProtocol<testing::FakeAuth>(AuthInterop::protocol(), app->container());
    REQUIRE(auth);
    CHECK(auth->app_.lock() == app);
    CHECK(ComponentType::instanceForProtocol(AuthInterop::protocol(), app->container()) == auth);
    CHECK(testing::fakeAuthCounters().created == createdBefore + 1);

    // The identity library was found by its class name and recorded as a registrant.
    const auto registrants = ComponentContainer::registeredRegistrants();
    CHECK(std::any_of(registrants.begin(), registrants.end(),
                      [](const auto& r) { return r->className == kAuthComponentClassName; }));

    REQUIRE(ready);
    CHECK(ready->object == App::classObject());
    CHECK(ready->userInfo.at(std::string(kAppNameKey)) == platform::Value(std::string(kDefaultAppName)));
    CHECK(ready->userInfo.at(std::string(kAppIsDefaultAppKey)) == platform::Value(true));
    CHECK(ready->userInfo.at(std::string(kEzevarAppIDKey)) == platform::Value(std::string(kFixtureAppID)));
    CHECK(App::isDefaultAppConfigured());
}

TEST_CASE("options files are read in XML and binary form") {
    auto xml = Options::initWithContentsOfFile(
        (testing::fixturesDirectory() / "bundle" / "EzevarService-Info.plist").string());
    auto binary = Options::initWithContentsOfFile(
        (testing::fixturesDirectory() / "EzevarService-Info-binary.plist").string());
    REQUIRE(xml);
    REQUIRE(binary);
    for (const auto& options : {xml, binary}) {
        CHECK(options->clientID() == kFixtureClientID);
        CHECK(options->ezevarAppID() == kFixtureAppID);
        CHECK(options->ECMSenderID() == "123456789012");
        CHECK(options->projectID() == "brisko-tests");
        CHECK(options->databaseURL() == "https://brisko-tests.db.example.test");
        CHECK(options->storageBucket() == "brisko-tests.bucket.example.test");
        CHECK(options->bundleID() == "com.brisko.desktop.tests");
        CHECK_FALSE(options->usingOptionsFromDefaultPlist());
        CHECK_FALSE(options->isEditingLocked());
    }
    CHECK(xml->APIKey() == "test-api-key-0123456789");
    CHECK(binary->APIKey() == "binary-api-key");
    CHECK_FALSE(xml->isEqualToOptions(*binary));
}

TEST_CASE("options that cannot be read give nothing and one error line") {
    testing::clearLoggedLines();
    CHECK_FALSE(Options::initWithContentsOfFile(std::nullopt));
    CHECK(logged("[I-COR000013] The plist file path is nil."));
    const auto missing = (testing::dataHome() / "nowhere.plist").string();
    CHECK_FALSE(Options::initWithContentsOfFile(missing));
    CHECK(logged("[I-COR000014] The configuration file at " + missing +
                 " does not exist or is not a well-formed plist file."));
    const auto info = (testing::fixturesDirectory() / "bundle" / "Info.plist").string();
    CHECK(Options::initWithContentsOfFile(info));  // any dictionary is an options file
    CHECK_FALSE(Options::optionsDictionaryFromPropertyList(platform::toData("<plist><array/></plist>")));
}

TEST_CASE("an option holding another type than text reads as absent") {
    auto options =
        Options::initInternalWithOptionsDictionary({{"API_KEY", platform::Value(42)},
                                                    {"CLIENT_ID", platform::Value(platform::Array{"x"})},
                                                    {"PROJECT_ID", "p"}});
    CHECK_FALSE(options->APIKey());
    CHECK_FALSE(options->clientID());
    CHECK(options->projectID() == "p");
    CHECK(options->usingOptionsFromDefaultPlist());
}

TEST_CASE_FIXTURE(CleanRegistry, "misuse of the registry raises with the exact messages") {
    SUBCASE("configuring the default app twice") {
        App::configureWithOptions(validOptions());
        CHECK(coreExceptionReason([] { App::configureWithOptions(validOptions()); }) ==
              "Default app has already been configured.");
    }
    SUBCASE("a named app twice") {
        App::configureWithName("second-app_2", validOptions());
        CHECK(App::appNamed("second-app_2"));
        CHECK(coreExceptionReason([] { App::configureWithName("second-app_2", validOptions()); }) ==
              "App named second-app_2 has already been configured.");
    }
    SUBCASE("missing options or names, empty and bad names") {
        CHECK(coreExceptionReason([] { App::configureWithOptions(nullptr); }) ==
              "Options is nil. Please pass a valid options.");
        CHECK(coreExceptionReason([] { App::configureWithName(std::nullopt, validOptions()); }) ==
              "Neither name nor options can be nil.");
        CHECK(coreExceptionReason([] { App::configureWithName("x", nullptr); }) ==
              "Neither name nor options can be nil.");
        CHECK(coreExceptionReason([] { App::configureWithName("", validOptions()); }) ==
              "Name cannot be empty.");
        for (const char* bad : {"has blank", "dot.name", "slash/name", "\xff\xfe"}) {
            CAPTURE(bad);
            CHECK(coreExceptionReason([&] { App::configureWithName(bad, validOptions()); }) ==
                  "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
        }
        App::configureWithName("caf\xc3\xa9-2", validOptions());  // letters of any script are allowed
    }
    SUBCASE("editing options an app was configured with") {
        auto options = validOptions();
        App::configureWithOptions(options);
        options->setClientID("still editable");  // the caller's object is not locked
        auto copy = App::defaultApp()->options();
        CHECK(copy != App::defaultApp()->options());
        CHECK(copy->isEditingLocked());
        CHECK_FALSE(copy->clientID());
        CHECK(coreExceptionReason([&] { copy->setClientID("x"); }) ==
              "Attempted to modify options after it's set on ZIRApp. Please modify all properties before "
              "initializing "
              "ZIRApp.");
        CHECK(coreExceptionReason([&] {
                  copy->setAppGroupID("group");
              }).starts_with("Attempted to modify options"));
    }
    SUBCASE("an invalid app ID fails configuration after an error line") {
        auto options = validOptions();
        options->setEzevarAppID("1:123:android:abc");
        CHECK(coreExceptionReason([&] { App::configureWithOptions(options); }) ==
              "Configuration fails. It may be caused by an invalid EZEVAR_APP_ID in EzevarService-Info.plist "
              "or set in "
              "the customized options.");
        CHECK(logged("[I-COR000009] The EZEVAR_APP_ID either in the plist file 'EzevarService-Info.plist'"));
    }
    SUBCASE("no options file among the resources") {
        platform::Bundle::setMain(std::make_shared<platform::Bundle>(testing::dataHome()));
        Options::resetDefaultOptions();
        CHECK(coreExceptionReason([] { App::configure(); })
                  .starts_with("`ZudiridiApp.configure()` could not find a valid EzevarService-Info.plist in "
                               "your project. Please download "
                               "one from https://"));
        CHECK(logged("[I-COR000012] Could not locate configuration file: 'EzevarService-Info.plist'."));
    }
}

TEST_CASE_FIXTURE(CleanRegistry, "of threads configuring one app name at once, exactly one succeeds") {
    for (const std::string name : {"__ZIRAPP_DEFAULT", "raced-app"}) {
        CAPTURE(name);
        App::resetApps();
        const int createdBefore = testing::fakeAuthCounters().created;
        std::atomic<int> succeeded{0};
        std::atomic<int> refused{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                try {
                    App::configureWithName(name, validOptions());
                    ++succeeded;
                } catch (const platform::ProgrammingException&) {
                    ++refused;
                }
            });
        }
        for (auto& t : threads) t.join();
        CHECK(succeeded == 1);
        CHECK(refused == 7);
        CHECK(testing::fakeAuthCounters().created - createdBefore == 1);
    }
}

TEST_CASE("the Ezevar app ID check") {
    CoreLogger::setLevelDebug();
    testing::clearLoggedLines();
    const std::vector<std::pair<std::string, bool>> table = {
        {"1:123456789012:ios:0a1b2c3d4e5f6789", true},
        {"1:1:ios:ABCDEF0123456789", true},
        {"1:1:ios:0xabc", true},
        {"1:99999999999999999999999999:ios:abc", true},  // a project number beyond 64 bits is still digits
        {"2:anything-at-all", true},                     // unknown versions pass, with an info line
        {"", false},
        {"1:", false},
        {"1", false},
        {":1:ios:abc", false},
        {"1:123:android:abc", false},
        {"1:123:ios:", false},
        {"1:123:ios:xyz", false},
        {"1:123:ios:abc:", false},
        {"1:123:ios:abc:def", false},
        {"1:abc:ios:abc", false},
        {"1:-5:ios:abc", false},
        {"1:123:ios:abc ", false},
        {" 1:123:ios:abc", false},
        {"\xd9\xa1:123:ios:abc", false},        // an Arabic-Indic one as the version
        {"1:\xd9\xa1\xd9\xa2:ios:abc", false},  // non-ASCII digits as the project number
        {"1:123:ios:\xef\xbc\xa1", false},      // a full-width letter as the hash
    };
    for (const auto& [appID, valid] : table) {
        CAPTURE(appID);
        CHECK(App::validateAppID(appID) == valid);
    }
    CHECK(logged("[I-COR000010] Unknown EZEVAR_APP_ID version: 2"));
    CoreLogger::setLevelNotice();
}

TEST_CASE_FIXTURE(CleanRegistry, "an app ID of an unknown version configures with an info line") {
    CoreLogger::setLevelDebug();
    auto options = validOptions();
    options->setEzevarAppID("2:123:ios:abc");
    App::configureWithOptions(options);
    CHECK(App::defaultApp());
    CHECK(logged("[I-COR000010] Unknown EZEVAR_APP_ID version: 2"));
    CHECK(logged("[ZudiridiCore][I-COR000001] Configuring the default app."));
    CoreLogger::setLevelNotice();
}

TEST_CASE_FIXTURE(CleanRegistry, "deleting an app tells its components and forgets it") {
    App::configureWithName("deletable", validOptions());
    auto app = App::appNamed("deletable");
    REQUIRE(app);
    app->setDataCollectionDefaultEnabled(false);
    std::optional<platform::Notification> deleted;
    platform::ObserverRegistration observer(platform::NotificationCenter::defaultCenter(),
                                            platform::NotificationCenter::defaultCenter().addObserver(
                                                std::string(kAppDeleteNotification), nullptr, nullptr,
                                                [&](const platform::Notification& n) { deleted = n; }));
    const int deletedBefore = testing::fakeAuthCounters().deleted;
    std::optional<bool> result;
    app->deleteApp([&](bool ok) { result = ok; });
    CHECK(result == true);
    CHECK(testing::fakeAuthCounters().deleted == deletedBefore + 1);
    CHECK_FALSE(App::appNamed("deletable"));
    CHECK(logged("[I-COR000004] App with name deletable does not exist."));
    REQUIRE(deleted);
    CHECK(deleted->userInfo.at(std::string(kAppNameKey)) == platform::Value("deletable"));
    CHECK_FALSE(App::readDataCollectionSwitchFromUserDefaultsForApp(*app));

    app->deleteApp([&](bool ok) { result = ok; });
    CHECK(result == false);
    CHECK(logged("[I-COR000007] App does not exist."));
}

TEST_CASE_FIXTURE(CleanRegistry, "the data-collection switch and the did-become-active heartbeat") {
    App::configureWithOptions(validOptions());
    auto app = App::defaultApp();
    CHECK(app->isDataCollectionDefaultEnabled());  // neither a stored value nor the property-list key
    app->heartbeatLogger()->headerValue();         // start from nothing stored

    platform::NotificationCenter::defaultCenter().post(std::string(kApplicationDidBecomeActiveNotification));
    platform::MainLoop::drain();
    CHECK(app->heartbeatLogger()->headerValue());

    app->setDataCollectionDefaultEnabled(false);
    CHECK_FALSE(app->isDataCollectionDefaultEnabled());
    CHECK(platform::UserDefaults::standard()->boolForKey(
              "/ezevar/zudiridi/global_data_collection_enabled:__ZIRAPP_DEFAULT") == false);
    app->clearDataCollectionSwitchFromUserDefaults();
    CHECK(app->isDataCollectionDefaultEnabled());
}

TEST_CASE("options copy, compare and derive their analytics switches") {
    auto options = validOptions();
    options->setAppGroupID("group.one");
    auto copy = options->copy();
    CHECK(copy != options);
    CHECK(copy->isEqualToOptions(*options));
    CHECK(copy->hash() == options->hash());
    copy->setAppGroupID("group.two");
    CHECK_FALSE(copy->isEqual(options));
    CHECK_FALSE(options->isEqual(nullptr));
    CHECK(Options::libraryVersionID() == "121200000");

    auto fromFile = Options::initWithContentsOfFile(
        (testing::fixturesDirectory() / "bundle" / "EzevarService-Info.plist").string());
    CHECK_FALSE(fromFile->isMeasurementEnabled());  // IS_MEASUREMENT_ENABLED false in the file
    CHECK(fromFile->isAnalyticsCollectionExplicitlySet());
    CHECK_FALSE(fromFile->isAnalyticsCollectionEnabled());
    CHECK_FALSE(options->isAnalyticsCollectionExplicitlySet());
}
