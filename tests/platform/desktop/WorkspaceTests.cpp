// Opening URLs: the opener gets exactly the URL, runs detached (we never wait for the browser), its
// failure is reported, and texts that could be taken for options or carry control characters are refused.
#include <doctest/doctest.h>

#include <unistd.h>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/desktop/Workspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;

namespace {

// A stand-in for xdg-open that writes its arguments to a file, then stays until its gate file goes
// (at most 10 s), so that launching it can only return early if we do not wait for it.
struct FakeOpener {
    TemporaryFolder folder;
    std::filesystem::path script = folder.path() / "opener";
    std::filesystem::path output = folder.path() / "opened";
    std::filesystem::path gate = folder.path() / "gate";
    std::filesystem::path finished = folder.path() / "finished";

    FakeOpener() {
        std::ofstream(gate) << "closed";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s|' \"$@\" > '" << output.string() << ".tmp'\nmv '"
                              << output.string() << ".tmp' '" << output.string() << "'\ni=0\nwhile [ -e '"
                              << gate.string()
                              << "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\ntouch '"
                              << finished.string() << "' 2>/dev/null\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }
    // Lets a waiting opener finish.
    ~FakeOpener() {
        std::error_code ec;
        std::filesystem::remove(gate, ec);
    }
    std::optional<std::string> opened() const {
        std::ifstream in(output);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace

TEST_CASE("a URL is handed to the opener as one argument without waiting for it") {
    FakeOpener opener;
    std::string url = "https://example.com/a b?q=日本&x=1;rm -rf $HOME";
    // The opener is still waiting at its gate when this returns: still running counts as opened.
    CHECK(launchURLOpener(url, opener.script.c_str(), std::chrono::milliseconds(200)));
    REQUIRE(processEventsUntil([&] { return opener.opened().has_value(); }));
    CHECK(*opener.opened() == url + "|");
    CHECK_FALSE(std::filesystem::exists(opener.finished));
}

TEST_CASE("texts that are not plain URLs are refused before anything starts") {
    FakeOpener opener;
    const char* refused[] = {"",          "-oProxyCommand=evil", "no scheme here",
                             "1http://x", "http://a\nb",         "javascript:\x7f",
                             ":nothing"};
    for (const char* text : refused) {
        CAPTURE(text);
        CHECK_FALSE(launchURLOpener(text, opener.script.c_str()));
    }
    CHECK_FALSE(opener.opened());
    CHECK_FALSE(launchURLOpener("https://example.com", "/nonexistent/opener"));
}

TEST_CASE("an opener that reports failure makes the open fail; one that succeeds makes it succeed") {
    TemporaryFolder folder;
    for (const auto& [status, opened] : std::vector<std::pair<int, bool>>{{0, true}, {3, false}, {4, false}}) {
        CAPTURE(status);
        const auto script = folder.path() / ("opener-" + std::to_string(status));
        // As xdg-open does when no handler exists for the URL's scheme (3) or the handler failed (4).
        std::ofstream(script) << "#!/bin/sh\nexit " << status << "\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        CHECK(launchURLOpener("x-apple.systempreferences:com.apple.preference.security", script.c_str(),
                              std::chrono::seconds(30)) == opened);
    }
}

TEST_CASE("without a display-backed workspace nothing is frontmost and this process is itself") {
    Workspace::setShared(nullptr);
    CHECK_FALSE(Workspace::shared()->frontmostApplication());
    auto self = Workspace::currentApplication();
    CHECK(self.processIdentifier == ::getpid());
    CHECK(Workspace::isCurrentApplication(self));
    CHECK(self.bundleIdentifier == "platform_desktop_tests");
}
