// One instance per user: a later launch hands its URLs to the running one over the local socket.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// Runs a later launch (the client) with these arguments and Qt events until it has exited and `done`
// (when given) holds; its exit code, or -1 when that did not happen in time.
int runLaterLaunch(const QStringList& arguments, const std::function<bool()>& done = {},
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    QProcess later;
    later.start(BRISKO_SINGLE_INSTANCE_CLIENT, arguments);
    const auto finished = [&] { return later.state() == QProcess::NotRunning && (!done || done()); };
    if (!processEventsUntil(finished, timeout)) return -1;
    return later.exitCode();
}

// A client socket connected to the server and left open (a launch that is slow to speak), closed with
// the object.
class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool connected() const { return connected_; }
    void send(const std::string& bytes) { [[maybe_unused]] auto n = ::write(fd_, bytes.data(), bytes.size()); }
    // What the server has sent so far.
    std::string received() {
        char buffer[64];
        const auto n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) received_.append(buffer, static_cast<std::size_t>(n));
        return received_;
    }

private:
    int fd_;
    bool connected_ = false;
    std::string received_;
};

// A running instance on a socket in a folder of its own, keeping the requests handed to it.
struct RunningInstance {
    TemporaryFolder folder;
    std::string name = (folder.path() / "instance.sock").string();
    SingleInstance instance{name};
    std::vector<SingleInstance::Request> received;

    RunningInstance() {
        ensureQtApp();
        REQUIRE(instance.start({}, [this](const SingleInstance::Request& r) { received.push_back(r); }) ==
                SingleInstance::Role::primary);
    }
};

}  // namespace

TEST_CASE("a later launch hands its URLs and a show request to the running instance and exits") {
    RunningInstance running;
    CHECK(running.instance.isListening());

    CHECK(runLaterLaunch({QString::fromStdString(running.name), "com.brisko.desktop:/oauth2callback?code=1&state=ü",
                          "brisko://second"},
                         [&] { return !running.received.empty(); }) == 0);
    REQUIRE(running.received.size() == 1);
    CHECK(running.received[0].urls ==
          std::vector<std::string>{"com.brisko.desktop:/oauth2callback?code=1&state=ü", "brisko://second"});
    CHECK(running.received[0].reopen);
}

TEST_CASE("garbage on the socket is dropped and the running instance keeps serving") {
    RunningInstance running;
    sendRaw(running.name, "not json\n");
    sendRaw(running.name, "{\"urls\": [1, 2]}\n");
    sendRaw(running.name, std::string(100 * 1024, 'x'));
    sendRaw(running.name, "{\"urls\": [\"brisko://" + std::string(70 * 1024, 'a') + "\"]}\n");  // whole, too long
    sendRaw(running.name, "{\"urls\": [\"brisko://deep\"], \"x\": " + std::string(30'000, '[') +
                              std::string(30'000, ']') + "}\n");  // whole, nested too deep
    processEventsFor(std::chrono::milliseconds(200));
    CHECK(running.received.empty());

    CHECK(runLaterLaunch({QString::fromStdString(running.name), "brisko://after-garbage"},
                         [&] { return running.received.size() == 1; }) == 0);
}

TEST_CASE("a request arriving in pieces is taken once its line ends, while a silent client waits aside") {
    RunningInstance running;
    const auto& received = running.received;
    RawClient silent(running.name);  // connects and says nothing
    RawClient slow(running.name);
    REQUIRE(silent.connected());
    REQUIRE(slow.connected());
    const std::string line = SingleInstance::encode({{"brisko://in-pieces"}, false});
    slow.send(line.substr(0, 5));
    processEventsFor(std::chrono::milliseconds(100));
    slow.send(line.substr(5, 9));
    processEventsFor(std::chrono::milliseconds(100));
    CHECK(received.empty());
    CHECK(slow.received().empty());  // no acknowledgement before the request is whole
    slow.send(line.substr(14));
    REQUIRE(processEventsUntil([&] { return slow.received() == "ok\n"; }));
    REQUIRE(received.size() == 1);
    CHECK(received[0] == SingleInstance::Request{{"brisko://in-pieces"}, false});

    // The silent client holds nothing up.
    CHECK(runLaterLaunch({QString::fromStdString(running.name), "brisko://after-silence"},
                         [&] { return received.size() == 2; }) == 0);
}

TEST_CASE("the socket file is the user's alone and goes with the instance that made it") {
    ensureQtApp();
    TemporaryFolder folder;
    std::string name = (folder.path() / "instance.sock").string();
    struct stat st {};
    {
        SingleInstance running(name);
        REQUIRE(running.start({}, nullptr) == SingleInstance::Role::primary);
        REQUIRE(::lstat(name.c_str(), &st) == 0);
        CHECK(S_ISSOCK(st.st_mode));
        CHECK((st.st_mode & 0777) == 0600);
    }
    CHECK_FALSE(std::filesystem::exists(name));

    // An instance whose socket was replaced (taken for stale by another launch) leaves the new one.
    std::string replaced = (folder.path() / "replaced.sock").string();
    {
        auto first = std::make_unique<SingleInstance>(replaced);
        REQUIRE(first->start({}, nullptr) == SingleInstance::Role::primary);
        std::filesystem::remove(replaced);
        SingleInstance second(replaced);
        REQUIRE(second.start({}, nullptr, std::chrono::milliseconds(200)) == SingleInstance::Role::primary);
        first.reset();
        CHECK(std::filesystem::exists(replaced));
        CHECK(second.isListening());
    }
    CHECK_FALSE(std::filesystem::exists(replaced));
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
    CHECK(runLaterLaunch(
              {QString::fromStdString(elsewhere), "--lock", QString::fromStdString(lock.string()), "brisko://later"},
              [&] { return !received.empty(); }) == 0);
    REQUIRE(received.size() == 1);
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
    const QString lockArgument = QString::fromStdString(lock.string());
    CHECK(runLaterLaunch({QString::fromStdString(mine), "--lock", lockArgument, "brisko://x"}, {},
                         std::chrono::seconds(60)) == 5);
    CHECK_FALSE(std::filesystem::exists(mine));

    // Once the owner is gone, the next launch owns the lock.
    held.reset();
    CHECK(runLaterLaunch({QString::fromStdString(mine), "--lock", lockArgument}, {}, std::chrono::seconds(60)) == 3);
}
