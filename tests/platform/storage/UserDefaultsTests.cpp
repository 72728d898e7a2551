// User defaults: typed reads, persistence across stores, atomic files, domains and concurrent use.
#include <doctest/doctest.h>

#include <thread>
#include <vector>

#include "platform/storage/Bundle.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/PropertyList.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using brisko::platform::testing::TemporaryDirectory;

TEST_CASE("typed getters answer only for values of their type") {
    UserDefaults defaults("typed", UserDefaults::Store::inMemory());
    defaults.setObject("s", "text");
    defaults.setInteger(42, "i");
    defaults.setBool(true, "b");
    defaults.setDouble(2.5, "d");
    defaults.setObject(Data{1, 2}, "data");
    defaults.setObject(Array{1, "x"}, "array");
    defaults.setObject(Dictionary{{"k", 1}}, "dict");

    CHECK(defaults.stringForKey("text") == "s");
    CHECK_FALSE(defaults.stringForKey("i"));
    CHECK_FALSE(defaults.stringForKey("missing"));

    // Numbers read as one another, as the platform's numbers do; texts never convert.
    CHECK(defaults.integerForKey("i") == 42);
    CHECK(defaults.integerForKey("b") == 1);
    CHECK(defaults.integerForKey("d") == 2);
    CHECK_FALSE(defaults.integerForKey("text"));
    CHECK(defaults.boolForKey("b") == true);
    CHECK(defaults.boolForKey("i") == true);
    CHECK_FALSE(defaults.boolForKey("text"));
    CHECK(defaults.doubleForKey("d") == 2.5);
    CHECK(defaults.doubleForKey("i") == 42.0);

    CHECK(defaults.dataForKey("data") == Data{1, 2});
    CHECK_FALSE(defaults.dataForKey("text"));
    CHECK(defaults.arrayForKey("array") == Array{1, "x"});
    CHECK_FALSE(defaults.arrayForKey("dict"));
    CHECK(defaults.dictionaryForKey("dict") == Dictionary{{"k", 1}});
    CHECK_FALSE(defaults.dictionaryForKey("array"));
    CHECK(defaults.objectForKey("i") == Value(42));
}

TEST_CASE("values without a property-list form and empty keys are refused, leaving what was stored") {
    UserDefaults defaults("refusals", UserDefaults::Store::inMemory());
    LogCapture logs;
    defaults.setObject("kept", "key");
    CHECK_FALSE(defaults.setObject(Value::object(std::make_shared<int>(3)), "key"));
    CHECK_FALSE(defaults.setObject(Array{Value()}, "key"));
    CHECK_FALSE(defaults.setObject("v", ""));
    CHECK(defaults.stringForKey("key") == "kept");
    CHECK(logs.contains("Refusing to store a value without a property-list form"));

    CHECK(defaults.setObject(Value(), "key"));  // null removes
    CHECK_FALSE(defaults.objectForKey("key"));
}

TEST_CASE("values persist in an XML file per domain, written atomically with mode 0600") {
    TemporaryDirectory dir;
    {
        UserDefaults defaults("com.example.suite", UserDefaults::Store::inFolder(dir.path()));
        defaults.setObject("v1", "a");
        defaults.setObject("v2", "a");
        defaults.setInteger(7, "n");
        defaults.removeObjectForKey("n");
        CHECK(defaults.synchronize());
    }
    auto file = dir / "com.example.suite.plist";
    REQUIRE(FileSystem::fileExists(file));
    CHECK(brisko::platform::testing::permissions(file) == 0600);
    CHECK(FileSystem::contentsOfDirectory(dir.path()) == std::vector<std::string>{"com.example.suite.plist"});
    PropertyListFormat format{};
    CHECK(PropertyList::readFile(file, &format) == Value(Dictionary{{"a", "v2"}}));
    CHECK(format == PropertyListFormat::xml);

    // A new store (a new process) reads what the first one wrote.
    UserDefaults again("com.example.suite", UserDefaults::Store::inFolder(dir.path()));
    CHECK(again.stringForKey("a") == "v2");
    CHECK_FALSE(again.objectForKey("n"));
}

TEST_CASE("a damaged defaults file is kept aside and the domain starts empty") {
    TemporaryDirectory dir;
    brisko::platform::testing::writeText(dir / "broken.plist", "<plist><dict><key>half");
    LogCapture logs;
    UserDefaults defaults("broken", UserDefaults::Store::inFolder(dir.path()));
    CHECK_FALSE(defaults.objectForKey("half"));
    CHECK(logs.contains("damaged"));
    CHECK(FileSystem::fileExists(dir / "broken.plist.damaged"));
    defaults.setBool(true, "fresh");
    CHECK(PropertyList::readFile(dir / "broken.plist") == Value(Dictionary{{"fresh", true}}));
}

TEST_CASE("objects for the same domain share values, and persistent domains are that storage") {
    auto store = UserDefaults::Store::inMemory();
    UserDefaults one("shared.domain", store);
    UserDefaults two("shared.domain", store);
    one.setObject("x", "k");
    CHECK(two.stringForKey("k") == "x");

    CHECK_FALSE(one.persistentDomainForName("never.written"));
    CHECK(one.persistentDomainForName("shared.domain") == Dictionary{{"k", "x"}});
    one.setPersistentDomain(Dictionary{{"other", 1}}, "shared.domain");
    CHECK(two.integerForKey("other") == 1);
    CHECK_FALSE(two.objectForKey("k"));
    one.removePersistentDomainForName("shared.domain");
    CHECK_FALSE(one.persistentDomainForName("shared.domain"));
    CHECK(two.dictionaryRepresentation().empty());
}

TEST_CASE("removing a persistent domain deletes its file") {
    TemporaryDirectory dir;
    UserDefaults defaults(std::nullopt, UserDefaults::Store::inFolder(dir.path()));
    defaults.setPersistentDomain(Dictionary{{"k", Data{1}}}, "com.example.Auth.x:y");
    CHECK(FileSystem::fileExists(dir / "com.example.Auth.x:y.plist"));
    defaults.removePersistentDomainForName("com.example.Auth.x:y");
    CHECK_FALSE(FileSystem::fileExists(dir / "com.example.Auth.x:y.plist"));
}

TEST_CASE("the standard domain is named after the bundle identifier and follows the shared store") {
    TemporaryDirectory dir;
    brisko::platform::testing::writeText(
        dir / "Info.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
        "<string>com.example.app</string></dict></plist>");
    Bundle::setMain(std::make_shared<Bundle>(dir.path()));
    auto store = UserDefaults::Store::inFolder(dir / "config");
    UserDefaults::Store::setShared(store);

    CHECK(UserDefaults::standardDomainName() == "com.example.app");
    UserDefaults::standard()->setObject("yes", "flag");
    CHECK(FileSystem::fileExists(dir / "config" / "com.example.app.plist"));
    CHECK(UserDefaults("com.example.app", store).stringForKey("flag") == "yes");

    UserDefaults::Store::setShared(nullptr);
    Bundle::setMain(nullptr);
}

TEST_CASE("concurrent writers to one domain lose nothing") {
    auto store = UserDefaults::Store::inMemory();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([store, t] {
            // Each thread has its own object; all of them share the domain's values.
            UserDefaults defaults("concurrent", store);
            for (int i = 0; i < 200; ++i)
                defaults.setInteger(i, "t" + std::to_string(t) + "-" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    CHECK(UserDefaults("concurrent", store).dictionaryRepresentation().size() == 1600);
}
