// The Zudiridi user-agent line and the environment facts it carries.
#include <doctest/doctest.h>

#include "core/App.hpp"
#include "core/AppEnvironmentUtil.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core;

TEST_CASE("the environment components report this Linux machine and the build keys present") {
    const auto env = ZudiridiUserAgent::currentEnvironmentComponents();
    CHECK(env.at("apple-platform") == "linux");
    CHECK(env.at("appstore") == "false");
    CHECK(env.at("apple-sdk") == "24A335");  // the fixture's Info.plist has DTSDKBuild
    CHECK_FALSE(env.contains("xcode"));      // and no DTXcodeBuild
    CHECK(env.at("device") == platform::ProcessInfo::processInfo().machineModel());
    CHECK(env.at("os-version") == AppEnvironmentUtil::systemVersion());
    CHECK(env.at("deploy") == "swiftpm");
}

TEST_CASE("system versions leave out a zero patch number") {
    CHECK(AppEnvironmentUtil::formatSystemVersion(15, 0, 0) == "15.0");
    CHECK(AppEnvironmentUtil::formatSystemVersion(14, 5, 1) == "14.5.1");
    CHECK_FALSE(AppEnvironmentUtil::isFromAppStore());
    CHECK_FALSE(AppEnvironmentUtil::isAppExtension());
    CHECK(AppEnvironmentUtil::getSysctlEntry("kernel.ostype") == "Linux");
    CHECK_FALSE(AppEnvironmentUtil::getSysctlEntry("kernel.no_such_entry"));
    CHECK_FALSE(AppEnvironmentUtil::getSysctlEntry("../etc/passwd"));
}

TEST_CASE("the line is sorted ignoring case, libraries replaced, the environment winning on a clash") {
    ZudiridiUserAgent agent;
    agent.setValue("1.0", "Zeta-lib");
    agent.setValue("1.0", "beta");
    agent.setValue("2.0", "beta");
    agent.setValue("9.9", "device");
    const auto line = agent.zudiridiUserAgent();
    CHECK(line.starts_with(
        "apple-platform/linux apple-sdk/24A335 appstore/false beta/2.0 deploy/swiftpm device/"));
    CHECK(line.find("beta/1.0") == std::string::npos);
    CHECK(line.find("device/9.9") == std::string::npos);
    CHECK(line.ends_with("Zeta-lib/1.0"));
    CHECK(agent.zudiridiUserAgent() == line);

    agent.reset();
    CHECK(agent.zudiridiUserAgent().find("beta") == std::string::npos);
}

TEST_CASE("a library name or version with other characters is refused and logged") {
    testing::clearLoggedLines();
    App::registerLibrary("bad name", "1.0");
    App::registerLibrary("good-name_1.x", "3.4.5");
    const auto line = App::zudiridiUserAgent();
    CHECK(line.find("bad") == std::string::npos);
    CHECK(line.find("good-name_1.x/3.4.5") != std::string::npos);
    CHECK(testing::logged(
        "[I-COR000027] The library name (bad name) or version number (1.0) contain invalid characters."));
}
