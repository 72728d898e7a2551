// The bundle: its information dictionary, resource look-up and where the main bundle's resources are.
#include <doctest/doctest.h>

#include "platform/storage/Bundle.hpp"
#include "platform/base/Log.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using namespace brisko::platform::testing;

namespace {

constexpr std::string_view kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.desktop</string>
  <key>EIDClientID</key><string>client-123</string>
  <key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>com.example</string></array></dict></array>
</dict></plist>)";

}  // namespace

TEST_CASE("a bundle reads its identifier and keys from Info.plist and finds its resources") {
    TemporaryDirectory dir;
    writeText(dir / "Info.plist", kInfoPlist);
    writeText(dir / "EzevarService-Info.plist", "<plist/>");
    FileSystem::createDirectory(dir / "Fonts.bundle");
    Bundle bundle(dir.path());

    CHECK(bundle.bundleIdentifier() == "com.example.desktop");
    REQUIRE(bundle.objectForInfoDictionaryKey("EIDClientID"));
    CHECK(*bundle.objectForInfoDictionaryKey("EIDClientID")->string() == "client-123");
    CHECK(bundle.objectForInfoDictionaryKey("CFBundleURLTypes")->array()->size() == 1);
    CHECK_FALSE(bundle.objectForInfoDictionaryKey("Missing"));

    CHECK(bundle.pathForResource("EzevarService-Info", "plist") == dir / "EzevarService-Info.plist");
    CHECK(bundle.pathForResource("EzevarService-Info", ".plist") == dir / "EzevarService-Info.plist");
    CHECK(bundle.pathForResource("Fonts", "bundle") == dir / "Fonts.bundle");
    CHECK_FALSE(bundle.pathForResource("Absent", "plist"));
    CHECK_FALSE(bundle.pathForResource("", "plist"));
}

TEST_CASE("a bundle without a readable Info.plist has an empty dictionary and says why") {
    TemporaryDirectory dir;
    CHECK(Bundle(dir.path()).infoDictionary().empty());
    writeText(dir / "Info.plist", "<plist><dict><key>broken");
    LogCapture logs;
    Bundle damaged(dir.path());
    CHECK_FALSE(damaged.bundleIdentifier());
    CHECK(logs.contains("Info.plist"));
}

TEST_CASE("the main bundle's resources come from the variable, beside the executable, or the install") {
    TemporaryDirectory dir;
    FileSystem::createDirectory(dir / "build" / "resources");
    FileSystem::createDirectory(dir / "prefix" / "bin");
    FileSystem::createDirectory(dir / "prefix" / "share" / "brisko-desktop");
    ScopedEnvironment unset("BRISKO_RESOURCES_DIR", std::nullopt);

    CHECK(Bundle::findResourcePath(dir / "build" / "app") == dir / "build" / "resources");
    CHECK(Bundle::findResourcePath(dir / "prefix" / "bin" / "brisko-desktop") ==
          dir / "prefix" / "share" / "brisko-desktop");
    {
        ScopedEnvironment chosen("BRISKO_RESOURCES_DIR", (dir / "elsewhere").string());
        CHECK(Bundle::findResourcePath(dir / "build" / "app") == dir / "elsewhere");
    }
}
