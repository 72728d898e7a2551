// Process facts: os-release and machine-info parsing, version numbers, the computer name and this process.
#include <doctest/doctest.h>

#include <unistd.h>

#include "platform/storage/ProcessInfo.hpp"

using namespace brisko::platform;

TEST_CASE("os-release style files are read with their quoting") {
    auto fields = ProcessInfo::parseKeyValueFile(
        "# comment\n"
        "NAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID='12'\n"
        "ID=debian\n"
        "PRETTY_HOSTNAME=\"Kai's \\\"Laptop\\\"\"\n"
        "  BROKEN LINE\n"
        "=novalue\n");
    CHECK(fields["NAME"] == "Debian GNU/Linux");
    CHECK(fields["VERSION_ID"] == "12");
    CHECK(fields["ID"] == "debian");
    CHECK(fields["PRETTY_HOSTNAME"] == "Kai's \"Laptop\"");
    CHECK(fields.size() == 4);
}

TEST_CASE("version texts give up to three numbers") {
    struct Case {
        const char* text;
        OperatingSystemVersion version;
    };
    const Case cases[] = {
        {"12", {12, 0, 0}},     {"22.04", {22, 4, 0}}, {"6.1.0-18-amd64", {6, 1, 0}},
        {"14.5.1", {14, 5, 1}}, {"", {0, 0, 0}},       {"rolling", {0, 0, 0}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CHECK(ProcessInfo::parseVersion(c.text) == c.version);
    }
}

TEST_CASE("the computer name is the pretty host name, else the host name") {
    CHECK(ProcessInfo::computerNameFrom("PRETTY_HOSTNAME=\"Kai’s Laptop\"\n", "kai-x1") == "Kai’s Laptop");
    CHECK(ProcessInfo::computerNameFrom("PRETTY_HOSTNAME=\n", "kai-x1") == "kai-x1");
    CHECK(ProcessInfo::computerNameFrom("", "kai-x1") == "kai-x1");
    CHECK_FALSE(ProcessInfo::computerNameFrom("", ""));
}

TEST_CASE("this process's facts") {
    ProcessInfo& info = ProcessInfo::processInfo();
    CHECK(info.processIdentifier() == ::getpid());
    CHECK(info.processName() == "platform_tests");
    auto args = info.arguments();
    REQUIRE_FALSE(args.empty());
    CHECK(args[0].find("platform_tests") != std::string::npos);
    CHECK_FALSE(info.architecture().empty());
    CHECK_FALSE(info.machineModel().empty());
    CHECK_FALSE(info.operatingSystemName().empty());
    CHECK(info.environmentValue("PATH") == info.environment()["PATH"]);

    info.setArguments({"brisko-desktop", "-ZIRDebugEnabled"});
    CHECK(info.arguments() == std::vector<std::string>{"brisko-desktop", "-ZIRDebugEnabled"});
    info.setArguments(args);
}
