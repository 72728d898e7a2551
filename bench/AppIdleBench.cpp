// The running app's idle footprint while recording, under Xvfb with a window manager and a tray host on
// a private session bus: resident memory, CPU time and wakeups (context switches of all its threads)
// over 120 s, first with the window closed (the app in the tray), then with it open. Goals: at most
// 40 MB and 0.1 s of CPU. Usage: dbus-run-session -- scripts/with-xvfb.sh app_idle_bench [SECONDS]
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <map>
#include <QProcess>
#include <QThread>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/app/FakeCompanionService.hpp"
#include "tests/app/TrayMenuDriver.hpp"
#include "tests/platform/DesktopTestSupport.hpp"
#include "tests/platform/X11TestWindow.hpp"

using brisko::app::test::FakeCompanionService;
using brisko::app::test::StatusNotifierWatcher;

namespace {
struct Usage {
    double cpuSeconds = 0;
    long rssKB = 0;
    long anonKB = 0;
    long fileKB = 0;
    std::map<std::string, long> switchesByThread;
};

Usage usageOf(qint64 pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i) fields >> skip;
    fields >> utime >> stime;
    u.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(status, l);) {
        if (l.rfind("VmRSS:", 0) == 0) u.rssKB = std::stol(l.substr(6));
        if (l.rfind("RssAnon:", 0) == 0) u.anonKB = std::stol(l.substr(8));
        if (l.rfind("RssFile:", 0) == 0) u.fileKB = std::stol(l.substr(8));
    }
    QDir tasks(QString::fromStdString("/proc/" + std::to_string(pid) + "/task"));
    for (const auto& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream ts("/proc/" + std::to_string(pid) + "/task/" + task.toStdString() + "/status");
        long& count = u.switchesByThread[task.toStdString()];
        for (std::string l; std::getline(ts, l);) {
            if (l.rfind("voluntary_ctxt_switches:", 0) == 0) count += std::stol(l.substr(24));
            if (l.rfind("nonvoluntary_ctxt_switches:", 0) == 0) count += std::stol(l.substr(27));
        }
    }
    return u;
}

bool pump(const std::function<bool()>& done, int timeoutMs = 15000) {
    return brisko::test::processEventsUntil(done, std::chrono::milliseconds(timeoutMs));
}

void measure(const char* phase, qint64 pid, int seconds) {
    const Usage before = usageOf(pid);
    pump([] { return false; }, seconds * 1000);
    const Usage after = usageOf(pid);
    long switches = 0;  // threads that lived through the whole period, and those started during it
    for (const auto& [thread, count] : after.switchesByThread) {
        auto it = before.switchesByThread.find(thread);
        switches += count - (it == before.switchesByThread.end() ? 0 : it->second);
    }
    std::printf("%s: RSS %.1f MB (anonymous %.1f MB, files and libraries %.1f MB), CPU %.3f s over %d s, %.0f wakeups/min\n",
                phase, after.rssKB / 1024.0, after.anonKB / 1024.0, after.fileKB / 1024.0,
                after.cpuSeconds - before.cpuSeconds, seconds,
                static_cast<double>(switches) * 60.0 / seconds);
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    FakeCompanionService server(true);
    StatusNotifierWatcher watcher;
    if (!watcher.start()) {
        std::fprintf(stderr, "needs a session bus of its own: dbus-run-session -- ...\n");
        return 1;
    }
    char homeTemplate[] = "/tmp/brisko-bench-XXXXXX";
    const std::string home = ::mkdtemp(homeTemplate);
    auto env = QProcessEnvironment::systemEnvironment();
    for (auto [key, value] : {std::pair{"HOME", home},
                              {"XDG_DATA_HOME", home + "/data"},
                              {"XDG_CONFIG_HOME", home + "/config"},
                              {"XDG_RUNTIME_DIR", home},
                              {"BRISKO_SERVICE_URL", server.baseURL()},
                              {"BRISKO_RESOURCES_DIR", std::string(BRISKO_SOURCE_DIR "/resources")}}) {
        env.insert(QString::fromUtf8(key), QString::fromStdString(value));
    }
    brisko::test::X11TestWindow probe(
        {.wmClass = std::make_pair(std::string("bench"), std::string("BenchProbe")),
         .netWmName = std::string("作業中のウィンドウ"),
         .pid = static_cast<std::uint32_t>(::getpid())});
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(BRISKO_APP_BINARY), {});
    if (!process.waitForStarted(5000) ||
        !pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }) ||
        !pump([&] { return watcher.menu().has_value(); }, 5000)) {
        std::fprintf(stderr, "the app did not show its tray item\n");
        return 1;
    }
    probe.activate();
    if (!watcher.click(QStringLiteral("記録を開始")) ||
        !pump([&] { return QFile::exists(QString::fromStdString(home + "/data/brisko-desktop/activity-buffer.jsonl")); })) {
        std::fprintf(stderr, "recording did not start\n");
        return 1;
    }
    const qint64 pid = process.processId();
    pump([] { return false; }, 2000);  // let start-up settle

    // The app in the tray: close its window with the window manager's close.
    std::system(
        "xdotool search --name '^Brisko Desktop$' windowactivate --sync key --clearmodifiers alt+F4 "
        ">/dev/null 2>&1");
    pump([] { return false; }, 1000);
    measure("recording, window closed", pid, seconds);

    watcher.click(QStringLiteral("アプリを開く"));
    pump([] { return false; }, 1000);
    measure("recording, window open", pid, seconds);

    ::kill(static_cast<pid_t>(pid), SIGTERM);
    process.waitForFinished(5000);
    std::printf("deliveries during the run: %zu POSTs\n", server.ingests().size());
    return 0;
}
