// One instance per user: a later launch hands its URLs to the running one over the local socket.
#include <doctest/doctest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QProcess>

#include "platform/desktop/SingleInstance.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;

namespace {

// Connects a raw socket to the server and sends bytes (a client that is not ours).
void sendRaw(const std::string& path, const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size());
    }
    ::close(fd);
}

}  // namespace

TEST_CASE("a later launch hands its URLs and a show request to the running instance and exits") {
    ensureQtApp();
    TemporaryFolder folder;
    std::string name = (folder.path() / "instance.sock").string();
    SingleInstance running(name);
    std::vector<SingleInstance::Request> received;
    REQUIRE(running.start({}, [&](const SingleInstance::Request& r) { received.push_back(r); }) ==
            SingleInstance::Role::primary);
    CHECK(running.isListening());

    QProcess later;
    later.start(BRISKO_SINGLE_INSTANCE_CLIENT,
                {QString::fromStdString(name), "com.brisko.desktop:/oauth2callback?code=1&state=ü",
                 "brisko://second"});
    REQUIRE(processEventsUntil([&] { return later.state() == QProcess::NotRunning && !received.empty(); }));
    CHECK(later.exitCode() == 0);
    REQUIRE(received.size() == 1);
    CHECK(received[0].urls ==
          std::vector<std::string>{"com.brisko.desktop:/oauth2callback?code=1&state=ü", "brisko://second"});
    CHECK(received[0].reopen);
}

TEST_CASE("garbage on the socket is dropped and the running instance keeps serving") {
    ensureQtApp();
    TemporaryFolder folder;
    std::string name = (folder.path() / "instance.sock").string();
    SingleInstance running(name);
    int handled = 0;
    REQUIRE(running.start({}, [&](const SingleInstance::Request&) { ++handled; }) ==
            SingleInstance::Role::primary);

    sendRaw(name, "not json\n");
    sendRaw(name, "{\"urls\": [1, 2]}\n");
    sendRaw(name, std::string(100 * 1024, 'x'));
    processEventsFor(std::chrono::milliseconds(200));
    CHECK(handled == 0);

    QProcess later;
    later.start(BRISKO_SINGLE_INSTANCE_CLIENT, {QString::fromStdString(name), "brisko://after-garbage"});
    REQUIRE(processEventsUntil([&] { return later.state() == QProcess::NotRunning && handled == 1; }));
    CHECK(later.exitCode() == 0);
}

TEST_CASE("a socket left behind by a crashed instance is taken over") {
    ensureQtApp();
    TemporaryFolder folder;
    std::string name = (folder.path() / "instance.sock").string();
    {
        // Bound, then closed without unlinking: what a killed instance leaves.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", name.c_str());
        REQUIRE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
        ::close(fd);
    }
    SingleInstance instance(name);
    CHECK(instance.start({}, nullptr) == SingleInstance::Role::primary);
    CHECK(instance.isListening());
}

TEST_CASE("the hand-over message round-trips and malformed ones are rejected") {
    SingleInstance::Request request{{"brisko://a?x=日本", "https://example.com/\"q\""}, false};
    CHECK(SingleInstance::decode(SingleInstance::encode(request)) == request);
    CHECK(SingleInstance::decode("{}\n") == SingleInstance::Request{{}, true});
    for (const char* bad : {"", "[]", "{\"urls\":\"x\"}", "{\"urls\":[null]}", "{\"reopen\":1}", "{"}) {
        CAPTURE(bad);
        CHECK_FALSE(SingleInstance::decode(bad));
    }
    CHECK(SingleInstance::defaultServerName().find(std::to_string(::getuid())) != std::string::npos);
}
