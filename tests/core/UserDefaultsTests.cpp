// The checked user-defaults wrapper, over the in-memory and the file store.
#include <doctest/doctest.h>

#include <limits>
#include <vector>

#include "core/UserDefaults.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/core/CoreTestEnvironment.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko;

TEST_CASE("the wrapper stores property-list values and refuses empty keys and other values with warnings") {
    platform::testing::TemporaryDirectory folder;
    for (const auto& store : {platform::UserDefaults::Store::inMemory(),
                              platform::UserDefaults::Store::inFolder(folder.path())}) {
        core::UserDefaults defaults(
            std::make_shared<platform::UserDefaults>(std::string("core.tests"), store));
        core::testing::clearLoggedLines();

        defaults.setObject(platform::Value("text"), "s");
        defaults.setInteger(42, "i");
        defaults.setBool(true, "b");
        defaults.setDouble(2.5, "d");
        defaults.setObject(platform::Value(platform::Array{1, "two"}), "a");
        CHECK(defaults.stringForKey("s") == "text");
        CHECK(defaults.integerForKey("i") == 42);
        CHECK(defaults.boolForKey("b"));
        CHECK(defaults.floatForKey("d") == 2.5f);
        CHECK(defaults.arrayForKey("a")->size() == 2);

        // A getter of one kind returns nothing for a value of another kind.
        CHECK_FALSE(defaults.stringForKey("i"));
        CHECK_FALSE(defaults.dictionaryForKey("s"));
        CHECK(defaults.integerForKey("s") == 0);
        CHECK(defaults.integerForKey("missing") == 0);

        defaults.setObject(platform::Value("x"), "");
        CHECK(core::testing::logged(
            "[EzevarUtilities/UserDefaults][I-EUL000002] Cannot set object for invalid user default key."));
        CHECK_FALSE(defaults.objectForKey(""));
        CHECK(core::testing::logged(
            "<EzevarUtilities>[I-EUL000001] Cannot get object for invalid user default key."));

        defaults.setObject(platform::Value(platform::Error("d", 1)), "s");
        CHECK(core::testing::logged(
            "[I-EUL000003] Cannot set invalid object to user defaults. Must be a string, number, array, "
            "dictionary, date, or data. Value: "));
        CHECK(defaults.stringForKey("s") == "text");

        defaults.removeObjectForKey("s");
        CHECK_FALSE(defaults.objectForKey("s"));
        defaults.setObject(std::nullopt, "i");
        CHECK_FALSE(defaults.objectForKey("i"));
    }
}

TEST_CASE("values written through one suite object reach a file another object reads") {
    platform::testing::TemporaryDirectory folder;
    auto store = platform::UserDefaults::Store::inFolder(folder.path());
    core::UserDefaults writer(std::make_shared<platform::UserDefaults>(std::string("shared.suite"), store));
    writer.setObject(platform::Value("kept"), "k");
    CHECK(std::filesystem::exists(*store->pathForDomain("shared.suite")));
    core::UserDefaults reader(std::make_shared<platform::UserDefaults>(
        std::string("shared.suite"), platform::UserDefaults::Store::inFolder(folder.path())));
    CHECK(reader.stringForKey("k") == "kept");
    CHECK(core::UserDefaults::standardUserDefaults() == core::UserDefaults::standardUserDefaults());
}

TEST_CASE("a stored real beyond the integer range reads as no integer, never as undefined behaviour") {
    core::UserDefaults defaults(std::make_shared<platform::UserDefaults>(
        std::string("core.tests.reals"), platform::UserDefaults::Store::inMemory()));
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::int64_t>> cases = {
        {12.9, 12},
        {-12.9, -12},
        {9.2e18, 9200000000000000000},
        {-9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
        {9223372036854775808.0, 0},
        {1e300, 0},
        {-1e300, 0},
        {inf, 0},
        {-inf, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& [stored, expected] : cases) {
        CAPTURE(stored);
        defaults.setDouble(stored, "n");
        CHECK(defaults.integerForKey("n") == expected);
    }
    defaults.setDouble(1e300, "n");
    CHECK_FALSE(defaults.userDefaults()->integerForKey("n"));
}
