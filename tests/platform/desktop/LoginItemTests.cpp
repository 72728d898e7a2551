// The login item as an autostart entry: its contents, its status, and an entry the user switched off.
#include <doctest/doctest.h>

#include <fstream>
#include <sstream>

#include "platform/desktop/LoginItem.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;

namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

LoginItem itemIn(const TemporaryFolder& folder,
                 std::vector<std::string> command = {"/opt/brisko/bin/brisko-desktop"}) {
    LoginItem::Options options;
    options.configHome = folder.path();
    options.command = std::move(command);
    return LoginItem(std::move(options));
}

}  // namespace

TEST_CASE("registering writes an autostart entry that starts the app after the panel") {
    TemporaryFolder config;
    auto item = itemIn(config, {"/opt/Brisko Desktop/brisko", "--url=a%b", "say \"hi\""});
    CHECK(item.path() == config.path() / "autostart" / "brisko-desktop.desktop");
    CHECK(item.status() == LoginItemStatus::notRegistered);

    CHECK_FALSE(item.registerAndReturnError());
    CHECK(item.status() == LoginItemStatus::enabled);
    std::string text = readFile(item.path());
    CHECK(text.rfind("[Desktop Entry]\n", 0) == 0);
    for (const char* line :
         {"Type=Application\n", "Name=Brisko Desktop\n", "X-GNOME-Autostart-enabled=true\n",
          "X-GNOME-Autostart-Delay=5\n", "X-KDE-autostart-after=panel\n", "Terminal=false\n"}) {
        CAPTURE(line);
        CHECK(text.find(line) != std::string::npos);
    }
    // Quoted per the desktop-entry rules: spaces quoted, % doubled, quotes escaped (and the backslash
    // escaped again as a string value).
    CHECK(text.find("Exec=\"/opt/Brisko Desktop/brisko\" --url=a%%b \"say \\\\\"hi\\\\\"\"\n") !=
          std::string::npos);

    // Registering again rewrites the same entry.
    CHECK_FALSE(item.registerAndReturnError());
    CHECK(readFile(item.path()) == text);

    CHECK_FALSE(item.unregisterAndReturnError());
    CHECK(item.status() == LoginItemStatus::notRegistered);
    CHECK_FALSE(item.unregisterAndReturnError());  // nothing to remove is no failure
}

TEST_CASE("an entry the user switched off is reported and never switched back on") {
    const char* switchedOff[] = {"Hidden=true", "X-GNOME-Autostart-enabled=false", "  Hidden = true  "};
    for (const char* line : switchedOff) {
        CAPTURE(line);
        TemporaryFolder config;
        auto item = itemIn(config);
        std::filesystem::create_directories(item.path().parent_path());
        std::string userEntry = "[Desktop Entry]\nType=Application\nExec=/opt/brisko/bin/brisko-desktop\n" +
                                std::string(line) + "\n";
        std::ofstream(item.path()) << userEntry;

        CHECK(item.status() == LoginItemStatus::disabledByUser);
        auto error = item.registerAndReturnError();
        REQUIRE(error);
        CHECK(error->domain() == kLoginItemErrorDomain);
        CHECK(error->code() == static_cast<int>(LoginItemError::disabledByUser));
        CHECK(readFile(item.path()) == userEntry);
    }

    // Keys of other groups do not count.
    TemporaryFolder config;
    auto item = itemIn(config);
    std::filesystem::create_directories(item.path().parent_path());
    std::ofstream(item.path()) << "[Desktop Entry]\nType=Application\n[Desktop Action x]\nHidden=true\n";
    CHECK(item.status() == LoginItemStatus::enabled);
}

TEST_CASE("a login item that cannot be written is an error, not a success") {
    TemporaryFolder config;
    std::ofstream(config.path() / "autostart") << "a file where the folder should be";
    auto item = itemIn(config);
    auto error = item.registerAndReturnError();
    REQUIRE(error);
    CHECK(error->code() == static_cast<int>(LoginItemError::writeFailed));
    CHECK(error->underlyingError());
    CHECK_FALSE(error->localizedDescription().empty());
    CHECK(item.status() == LoginItemStatus::notRegistered);
}
