// The real binary under Xvfb signed in at the local identity service: a user stored by an Ezevar-credential
// sign-in is restored at launch and paired once, uploads carry its ID token (renewed first when near its
// end, and once more after a 401), samples taken while nobody is signed in go out only after the next
// sign-in, and one account's samples never reach the service under another account's token.
#include <doctest/doctest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "auth/Auth.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "tests/app/FakeCompanionService.hpp"
#include "tests/app/TrayMenuDriver.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko;
using namespace brisko::app::test;
using brisko::test::X11TestWindow;

namespace {
constexpr const char* kProbeClass = "BriskoAccountProbe";
constexpr const char* kPairingPath = "/api/user/desktop-companion";

bool pump(const std::function<bool()>& done, int timeoutMs = 20000) {
    return brisko::test::processEventsUntil(done, std::chrono::milliseconds(timeoutMs));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string bearerSubject(const std::optional<std::string>& authorization) {
    if (!authorization || authorization->rfind("Bearer ", 0) != 0) return {};
    const auto claims = testing::IdentityService::jwtClaims(authorization->substr(7));
    return claims.is_object() ? claims.value("user_id", claims.value("sub", std::string())) : std::string();
}

std::vector<std::string> deliveredTitles(const FakeCompanionService& server, const std::string& uid) {
    std::vector<std::string> titles;
    for (const auto& r : server.ingests()) {
        CHECK(bearerSubject(r.header("authorization")) == uid);
        const auto body = nlohmann::json::parse(r.body);
        for (const auto& e : body["entries"]) titles.push_back(e.value("windowTitle", ""));
    }
    return titles;
}

bool contains(const std::vector<std::string>& titles, const std::string& title) {
    return std::find(titles.begin(), titles.end(), title) != titles.end();
}

// A private home with the app's settings, its keychain file and its buffer.
struct Home {
    std::string path;
    Home() {
        char tmpl[] = "/tmp/brisko-account-e2e-XXXXXX";
        path = ::mkdtemp(tmpl);
        std::filesystem::create_directories(path + "/data/brisko-desktop");
    }
    ~Home() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string keychainFile() const { return path + "/data/brisko-desktop/keychain-items.plist"; }
    std::string bufferFile() const { return path + "/data/brisko-desktop/activity-buffer.jsonl"; }
};

QProcessEnvironment appEnvironment(const Home& home, const FakeCompanionService& server,
                                   const testing::IdentityService& identity) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QString::fromStdString(home.path));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(home.path + "/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(home.path + "/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), QString::fromStdString(home.path + "/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(home.path));
    env.insert(QStringLiteral("BRISKO_KEYCHAIN"), QStringLiteral("file"));
    env.insert(QStringLiteral("BRISKO_SERVICE_URL"), QString::fromStdString(server.baseURL()));
    env.insert(QStringLiteral("BRISKO_IDENTITY_EMULATOR_HOST"), QString::fromStdString(identity.emulatorHostAndPort()));
    env.insert(QStringLiteral("BRISKO_RESOURCES_DIR"), QStringLiteral(BRISKO_SOURCE_DIR "/resources"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

std::shared_ptr<core::Options> appOptions() {
    return core::Options::initWithContentsOfFile(std::string(BRISKO_SOURCE_DIR "/resources/EzevarService-Info.plist"));
}

// Signs in with an Ezevar credential at the local service, as the app would, and leaves the user in the
// home's keychain file where the app looks for it at launch. Returns the account's uid.
std::string storeSignedInUser(const Home& home, const testing::IdentityService& identity, const std::string& subject) {
    static const bool configured = [] {
        ::setenv("BRISKO_KEYCHAIN", "memory", 1);
        core::App::configureWithOptions(appOptions());
        return true;
    }();
    (void)configured;
    auto keychain = std::make_shared<platform::FileKeychain>(home.keychainFile());
    auto client = auth::Auth::make(core::App::defaultApp(), std::make_shared<auth::AuthKeychainStorageReal>(keychain),
                                   std::make_shared<auth::AuthBackend>(), {});
    REQUIRE(client);
    REQUIRE(client->useEmulator("127.0.0.1", identity.port()));
    const auto now = identity.now();
    const auto idToken = testing::IdentityService::unsignedJWT({{"iss", "https://accounts.ezevar.com"},
                                                                {"sub", subject},
                                                                {"email", subject + "@example.com"},
                                                                {"iat", now},
                                                                {"exp", now + 3600}});
    auto result =
        platform::runOnMainLoop(client->signIn(auth::EzevarAuthProvider::credential(idToken, "ezevar-access")));
    return result->user()->uid();
}

struct AppProcess {
    QProcess process;
    explicit AppProcess(const QProcessEnvironment& env) {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(BRISKO_APP_BINARY));
        process.waitForStarted(5000);
    }
    ~AppProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    void quit(StatusNotifierWatcher& watcher) {
        REQUIRE(watcher.click(QStringLiteral("Brisko Desktop を終了")));
        REQUIRE(process.waitForFinished(30000));
    }
};

// Waits for the tray, then records one sample of the probe window (start, sample, stop).
void startRecordingUntilSampled(StatusNotifierWatcher& watcher, X11TestWindow& probe, const Home& home,
                                const std::string& title) {
    REQUIRE(pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }));
    REQUIRE(pump([&] { return watcher.menu().has_value(); }));
    probe.activate();
    REQUIRE(watcher.click(QStringLiteral("記録を開始")));
    REQUIRE(pump([&] { return readFile(home.bufferFile()).find(title) != std::string::npos; }));
}

void recordOnce(StatusNotifierWatcher& watcher, X11TestWindow& probe, const Home& home, const std::string& title) {
    startRecordingUntilSampled(watcher, probe, home, title);
    REQUIRE(watcher.click(QStringLiteral("記録を停止")));
}

// Kills the app at once (as a crash or a power cut would), before it uploads anything.
void killNow(AppProcess& app) {
    ::kill(static_cast<pid_t>(app.process.processId()), SIGKILL);
    REQUIRE(app.process.waitForFinished(5000));
}

X11TestWindow probeWindow(const std::string& title) {
    return X11TestWindow({.wmClass = std::make_pair(std::string("brisko-account-probe"), std::string(kProbeClass)),
                          .netWmName = title,
                          .pid = static_cast<std::uint32_t>(::getpid())});
}
}  // namespace

TEST_CASE("a restored user is paired once and its uploads carry its ID token, renewed near its end and after a 401") {
    brisko::test::ensureQtApp();
    testing::IdentityService::Options options;
    options.apiKey = appOptions()->APIKey().value_or("");
    testing::IdentityService identity(options);
    FakeCompanionService server;
    StatusNotifierWatcher watcher;
    REQUIRE_MESSAGE(watcher.start(), "needs a session bus of its own (dbus-run-session)");
    Home home;

    // The stored token has 200 s left: the first use renews it before anything is sent.
    identity.setIDTokenLifetime(std::chrono::seconds(200));
    const auto uid = storeSignedInUser(home, identity, "account-a");
    identity.setIDTokenLifetime(std::chrono::seconds(3600));
    identity.clearRequests();
    // The pairing is refused once: one forced renewal, one resend.
    server.script("POST", kPairingPath, {401});

    const std::string title = "署名済みアカウントの記録";
    auto probe = probeWindow(title);
    AppProcess app(appEnvironment(home, server, identity));
    REQUIRE(pump([&] { return server.requests("POST", kPairingPath).size() == 2; }));
    recordOnce(watcher, probe, home, title);
    REQUIRE(pump([&] { return contains(deliveredTitles(server, uid), title); }));
    app.quit(watcher);

    const auto pairings = server.requests("POST", kPairingPath);
    REQUIRE(pairings.size() == 2);  // one pairing at the restore, resent once after the 401
    CHECK(bearerSubject(pairings[0].header("authorization")) == uid);
    CHECK(bearerSubject(pairings[1].header("authorization")) == uid);
    CHECK(pairings[0].header("authorization") != pairings[1].header("authorization"));
    // Two renewals: the near-expiry one before the first pairing, the forced one after the 401.
    CHECK(identity.requestsTo("token").size() == 2);
    CHECK(identity.requestsTo("verifyAssertion").empty());
}

TEST_CASE("samples wait for the next sign-in, and one account's samples never go out under another's token") {
    brisko::test::ensureQtApp();
    testing::IdentityService::Options options;
    options.apiKey = appOptions()->APIKey().value_or("");
    testing::IdentityService identity(options);
    FakeCompanionService server;
    StatusNotifierWatcher watcher;
    REQUIRE_MESSAGE(watcher.start(), "needs a session bus of its own (dbus-run-session)");
    Home home;

    // Account A records, and the app is killed before it uploads: the samples stay A's on disk.
    const std::string titleA = "アカウントAの未送信の記録";
    const auto uidA = storeSignedInUser(home, identity, "account-a");
    {
        auto probe = probeWindow(titleA);
        AppProcess app(appEnvironment(home, server, identity));
        startRecordingUntilSampled(watcher, probe, home, titleA);
        killNow(app);
    }
    server.clear();

    // The next launch restores nobody: what it records is not sent.
    std::filesystem::remove(home.keychainFile());
    const std::string titleNobody = "誰もサインインしていない間の記録";
    {
        watcher.forget();
        auto probe = probeWindow(titleNobody);
        AppProcess app(appEnvironment(home, server, identity));
        recordOnce(watcher, probe, home, titleNobody);
        app.quit(watcher);
    }
    CHECK(server.ingests().empty());

    // Account B signs in: the samples taken while nobody was signed in go out under B, A's never do.
    const auto uidB = storeSignedInUser(home, identity, "account-b");
    REQUIRE(uidB != uidA);
    const std::string titleB = "アカウントBの記録";
    {
        watcher.forget();
        auto probe = probeWindow(titleB);
        AppProcess app(appEnvironment(home, server, identity));
        recordOnce(watcher, probe, home, titleB);
        REQUIRE(pump([&] { return contains(deliveredTitles(server, uidB), titleB); }));
        app.quit(watcher);
    }
    const auto titles = deliveredTitles(server, uidB);
    CHECK(contains(titles, titleNobody));
    CHECK(contains(titles, titleB));
    CHECK_FALSE(contains(titles, titleA));
}

TEST_CASE("a switch to another account without a sign-out discards the first account's undelivered samples") {
    brisko::test::ensureQtApp();
    testing::IdentityService::Options options;
    options.apiKey = appOptions()->APIKey().value_or("");
    testing::IdentityService identity(options);
    FakeCompanionService server;
    StatusNotifierWatcher watcher;
    REQUIRE_MESSAGE(watcher.start(), "needs a session bus of its own (dbus-run-session)");
    Home home;

    const std::string titleA = "切り替え前のアカウントAの記録";
    const auto uidA = storeSignedInUser(home, identity, "switch-a");
    {
        auto probe = probeWindow(titleA);
        AppProcess app(appEnvironment(home, server, identity));
        startRecordingUntilSampled(watcher, probe, home, titleA);
        killNow(app);
    }
    server.clear();

    // Account B is now the stored user: A never signed out.
    const auto uidB = storeSignedInUser(home, identity, "switch-b");
    REQUIRE(uidB != uidA);
    const std::string titleB = "切り替え後のアカウントBの記録";
    {
        watcher.forget();
        auto probe = probeWindow(titleB);
        AppProcess app(appEnvironment(home, server, identity));
        recordOnce(watcher, probe, home, titleB);
        REQUIRE(pump([&] { return contains(deliveredTitles(server, uidB), titleB); }));
        app.quit(watcher);
    }
    CHECK_FALSE(contains(deliveredTitles(server, uidB), titleA));
}
