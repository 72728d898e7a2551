// One instance per user: a later launch hands its URLs to the running one over the local socket.
#include <doctest/doctest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QProcess>

#include <filesystem>

#include "platform/desktop/SingleInstance.hpp"
#include "platform/storage/FileLock.hpp"
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

TEST_CASE("the lock's owner takes a later launch's URLs whatever socket that launch would use") {
    ensureQtApp();
    TemporaryFolder folder;
    const auto lock = folder.path() / "owner.lock";
    const std::string name = (folder.path() / "owner.sock").string();
    SingleInstance running(name);
    std::vector<SingleInstance::Request> received;
    REQUIRE(running.startOwning(lock, {}, [&](const SingleInstance::Request& r) { received.push_back(r); }) ==
            SingleInstance::Role::primary);
    CHECK(running.ownsLock());

    // Another runtime folder gives the later launch another socket: the lock still finds the owner.
    const std::string elsewhere = (folder.path() / "other-runtime.sock").string();
    QProcess later;
    later.start(BRISKO_SINGLE_INSTANCE_CLIENT, {QString::fromStdString(elsewhere), "--lock",
                                                QString::fromStdString(lock.string()), "brisko://later"});
    REQUIRE(processEventsUntil([&] { return later.state() == QProcess::NotRunning && !received.empty(); }));
    CHECK(later.exitCode() == 0);
    CHECK(received[0].urls == std::vector<std::string>{"brisko://later"});
    CHECK_FALSE(std::filesystem::exists(elsewhere));  // it never listened
}

TEST_CASE("a later launch the lock's owner does not answer exits without ever owning or listening") {
    ensureQtApp();
    TemporaryFolder folder;
    const auto lock = folder.path() / "owner.lock";
    // The owner holds the lock but is busy (or its socket refuses the request): nothing answers.
    auto held = FileLock::tryLock(lock);
    REQUIRE(held);
    REQUIRE(held->writeNote((folder.path() / "busy.sock").string()));
    const std::string mine = (folder.path() / "mine.sock").string();
    QProcess later;
    later.start(BRISKO_SINGLE_INSTANCE_CLIENT,
                {QString::fromStdString(mine), "--lock", QString::fromStdString(lock.string()), "brisko://x"});
    REQUIRE(processEventsUntil([&] { return later.state() == QProcess::NotRunning; },
                               std::chrono::seconds(60)));
    CHECK(later.exitCode() == 5);
    CHECK_FALSE(std::filesystem::exists(mine));

    // Once the owner is gone, the next launch owns the lock.
    held.reset();
    QProcess next;
    next.start(BRISKO_SINGLE_INSTANCE_CLIENT, {QString::fromStdString(mine), "--lock", QString::fromStdString(lock.string())});
    REQUIRE(processEventsUntil([&] { return next.state() == QProcess::NotRunning; }, std::chrono::seconds(60)));
    CHECK(next.exitCode() == 3);
}
