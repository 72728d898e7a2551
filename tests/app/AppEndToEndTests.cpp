// The real binary under Xvfb with a window manager, a tray host on a private session bus and a local
// companion service: recording from the tray menu keeps the active window's Japanese title and
// application name while nobody is signed in (nothing is sent), a sample survives a SIGKILL, and a
// second launch from another runtime folder hands over to the running one.
#include <doctest/doctest.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/app/FakeCompanionService.hpp"
#include "tests/app/TrayMenuDriver.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::app::test;
using brisko::test::X11TestWindow;

namespace {
constexpr const char* kProbeClass = "BriskoProbe";
const std::string kFirstTitle = "日本語のウィンドウ — 記録テスト";
const std::string kKilledTitle = "強制終了の直前に記録したウィンドウ";

bool pump(const std::function<bool()>& done, int timeoutMs = 15000) {
    return brisko::test::processEventsUntil(done, std::chrono::milliseconds(timeoutMs));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct AppProcess {
    QProcess process;
    explicit AppProcess(const QProcessEnvironment& env, QStringList args = {}) {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(BRISKO_APP_BINARY), args);
        process.waitForStarted(5000);
    }
    ~AppProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};
}  // namespace

// Nobody signs in here (the identity service's end to end does): samples are kept, not sent.
TEST_CASE("recording from the tray keeps the active window's title while nobody is signed in, across a SIGKILL") {
    brisko::test::ensureQtApp();
    FakeCompanionService server;
    StatusNotifierWatcher watcher;
    REQUIRE_MESSAGE(watcher.start(), "needs a session bus of its own (dbus-run-session)");

    char homeTemplate[] = "/tmp/brisko-e2e-XXXXXX";
    const std::string home = ::mkdtemp(homeTemplate);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QString::fromStdString(home));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(home + "/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(home + "/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), QString::fromStdString(home + "/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(home));
    env.insert(QStringLiteral("BRISKO_SERVICE_URL"), QString::fromStdString(server.baseURL()));
    env.insert(QStringLiteral("BRISKO_RESOURCES_DIR"), QStringLiteral(BRISKO_SOURCE_DIR "/resources"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const std::string bufferFile = home + "/data/brisko-desktop/activity-buffer.jsonl";

    X11TestWindow probe({.wmClass = std::make_pair(std::string("brisko-probe"), std::string(kProbeClass)),
                         .netWmName = kFirstTitle,
                         .pid = static_cast<std::uint32_t>(::getpid())});

    {
        AppProcess app(env);
        REQUIRE(pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }));
        // The menu exported over D-Bus carries the header as text items.
        std::optional<QList<MenuItem>> items;
        pump([&] { return (items = watcher.menu()).has_value(); });
        REQUIRE_MESSAGE(items, watcher.RegisteredStatusNotifierItems().join(QStringLiteral(",")).toStdString());
        QStringList labels;
        for (auto& i : *items) labels << i.label;
        CHECK(labels.contains(QStringLiteral("● 停止中")));
        CHECK(labels.contains(QStringLiteral("記録を開始")));

        // A second launch hands over to this one and leaves, even from another runtime folder (where the
        // running instance's socket is not).
        char runtimeTemplate[] = "/tmp/brisko-e2e-runtime-XXXXXX";
        const std::string otherRuntime = ::mkdtemp(runtimeTemplate);
        auto secondEnv = env;
        secondEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(otherRuntime));
        QProcess second;
        second.setProcessEnvironment(secondEnv);
        second.start(QStringLiteral(BRISKO_APP_BINARY), {QStringLiteral("brisko://open")});
        REQUIRE(second.waitForFinished(30000));
        CHECK(second.exitCode() == 0);
        CHECK(app.process.state() == QProcess::Running);
        // One whose request the running instance refuses (far too long) says so with its exit status.
        QProcess refused;
        refused.setProcessEnvironment(secondEnv);
        refused.start(QStringLiteral(BRISKO_APP_BINARY),
                      {QStringLiteral("brisko://open?") + QString(100 * 1024, QLatin1Char('x'))});
        REQUIRE(refused.waitForFinished(60000));
        CHECK(refused.exitStatus() == QProcess::NormalExit);
        CHECK(refused.exitCode() != 0);
        CHECK(app.process.state() == QProcess::Running);
        std::filesystem::remove_all(otherRuntime);

        probe.activate();  // the app's own window came to the front at launch
        REQUIRE(watcher.click(QStringLiteral("記録を開始")));
        REQUIRE(pump([&] { return readFile(bufferFile).find(kFirstTitle) != std::string::npos; }));
        auto header = watcher.menu();
        REQUIRE(header);
        CHECK(header->front().label.startsWith(QStringLiteral("● 記録中 · ") + QString::fromUtf8(kProbeClass)));
        CHECK(readFile(bufferFile).find(std::string("\"appName\":\"") + kProbeClass + "\"") != std::string::npos);
        REQUIRE(watcher.click(QStringLiteral("記録を停止")));
        // Stopping uploads, but with nobody signed in nothing goes out: the sample stays on disk.
        pump([&] { return !server.ingests().empty(); }, 2000);
        CHECK(server.ingests().empty());
        CHECK(readFile(bufferFile).find(kFirstTitle) != std::string::npos);

        // Sample, then kill the process at once.
        X11TestWindow second_probe({.wmClass = std::make_pair(std::string("brisko-probe"), std::string(kProbeClass)),
                                    .netWmName = kKilledTitle,
                                    .pid = static_cast<std::uint32_t>(::getpid())});
        second_probe.activate();
        REQUIRE(watcher.click(QStringLiteral("記録を開始")));
        REQUIRE(pump([&] { return readFile(bufferFile).find(kKilledTitle) != std::string::npos; }));
        ::kill(static_cast<pid_t>(app.process.processId()), SIGKILL);
        REQUIRE(app.process.waitForFinished(5000));
    }

    watcher.forget();
    AppProcess relaunched(env);
    REQUIRE(pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }));
    REQUIRE_MESSAGE(pump([&] { return watcher.menu().has_value(); }),
                    watcher.RegisteredStatusNotifierItems().join(QStringLiteral(",")).toStdString());
    // Both samples outlived the kill and are still waiting for an account.
    CHECK(readFile(bufferFile).find(kFirstTitle) != std::string::npos);
    CHECK(readFile(bufferFile).find(kKilledTitle) != std::string::npos);
    probe.activate();
    REQUIRE(watcher.click(QStringLiteral("記録を開始")));
    REQUIRE(watcher.click(QStringLiteral("記録を停止")));
    pump([&] { return !server.ingests().empty(); }, 2000);
    CHECK(server.ingests().empty());

    // Quitting from the tray ends the process normally.
    REQUIRE(watcher.click(QStringLiteral("Brisko Desktop を終了")));
    REQUIRE(relaunched.process.waitForFinished(30000));
    CHECK(relaunched.process.exitStatus() == QProcess::NormalExit);
    CHECK(relaunched.process.exitCode() == 0);

    std::error_code ec;
    std::filesystem::remove_all(home, ec);
}
