// The standard User-Agent text: the application token from the bundle, the system token, the cleaning.
#include <filesystem>
#include <fstream>
#include <regex>

#include <doctest/doctest.h>

#include "fetcher/UserAgentProvider.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/ProcessInfo.hpp"

using namespace brisko;
using namespace brisko::fetcher;

namespace {

// A bundle over a fresh resources folder whose Info.plist holds the given string entries.
std::shared_ptr<platform::Bundle> bundleWith(
    const std::vector<std::pair<std::string, std::string>>& entries) {
    static int counter = 0;
    auto folder = std::filesystem::temp_directory_path() /
                  ("fetcher-ua-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(folder);
    std::ofstream plist(folder / "Info.plist");
    plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : entries)
        plist << "<key>" << key << "</key><string>" << value << "</string>\n";
    plist << "</dict></plist>\n";
    plist.close();
    return std::make_shared<platform::Bundle>(folder);
}

}  // namespace

TEST_CASE("tokens are cleaned of blanks, commas, white space and HTTP separators") {
    CHECK(cleanedUserAgentToken(std::nullopt) == "");
    CHECK(cleanedUserAgentToken("Sample App") == "Sample_App");
    CHECK(cleanedUserAgentToken("1.2 (3)") == "1.2_3");
    CHECK(cleanedUserAgentToken("a,b/c\"d\\e[f]{g}=h?i@j;k:l<m>\tn\nq") == "a_bcdefghijklmnq");
    CHECK(cleanedUserAgentToken("x\u00a0y\u3000z") == "xyz");
    CHECK(cleanedUserAgentToken("日本") == "日本");
}

TEST_CASE("the standard text is the application token and the Linux system token") {
    SUBCASE("identifier and short version") {
        auto bundle =
            bundleWith({{"CFBundleIdentifier", "Sample App"}, {"CFBundleShortVersionString", "1.2 (3)"}});
        CHECK(applicationIdentifier(bundle) == "Sample_App/1.2_3");
        CHECK(standardUserAgentString(bundle) == "Sample_App/1.2_3 " + systemVersionString());
    }
    SUBCASE("the information keys of the fetcher come first") {
        auto bundle = bundleWith({{"CFBundleIdentifier", "com.example.ua-keys"},
                                  {"ETMUserAgentID", "My Agent/x"},
                                  {"ETMUserAgentVersion", "9 9"},
                                  {"CFBundleShortVersionString", "1.0"}});
        CHECK(applicationIdentifier(bundle) == "My_Agentx/9_9");
    }
    SUBCASE("no version keys: no slash") {
        auto bundle = bundleWith({{"CFBundleIdentifier", "com.example.ua-noversion"}});
        CHECK(applicationIdentifier(bundle) == "com.example.ua-noversion");
    }
    SUBCASE("the token is cached per bundle identifier") {
        auto first = bundleWith({{"CFBundleIdentifier", "com.example.ua-cache"}, {"CFBundleVersion", "1"}});
        auto second = bundleWith({{"CFBundleIdentifier", "com.example.ua-cache"}, {"CFBundleVersion", "2"}});
        CHECK(applicationIdentifier(first) == "com.example.ua-cache/1");
        CHECK(applicationIdentifier(second) == "com.example.ua-cache/1");
    }
    SUBCASE("a bundle without identifier is named after the process") {
        auto bundle = bundleWith({});
        std::string token = applicationIdentifier(bundle);
        CHECK(token == "proc_" + cleanedUserAgentToken(platform::ProcessInfo::processInfo().processName()));
    }
}

TEST_CASE("the system token always has three numbers") {
    CHECK(std::regex_match(systemVersionString(), std::regex(R"(Linux/\d+\.\d+\.\d+)")));
}

TEST_CASE("the standard provider computes once and then answers from its cache") {
    auto bundle = bundleWith({{"CFBundleIdentifier", "com.example.ua-provider"}, {"CFBundleVersion", "3"}});
    StandardUserAgentProvider provider(bundle);
    CHECK_FALSE(provider.cachedUserAgent());
    CHECK(provider.userAgent() == "com.example.ua-provider/3 " + systemVersionString());
    CHECK(provider.cachedUserAgent() == provider.userAgent());
    UserAgentStringProvider fixed("Fixed/1");
    CHECK(fixed.userAgent() == "Fixed/1");
    CHECK(fixed.cachedUserAgent() == "Fixed/1");
}
