// The running app's benchmark support: the launch against local services and the readings from /proc.
#include "bench/AppBenchSupport.hpp"

#include <unistd.h>

#include <QDir>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "auth/Auth.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/base/Async.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

namespace brisko::bench {

using brisko::testing::HttpTestServer;
using brisko::testing::IdentityService;
namespace platform = brisko::platform;

namespace {
std::shared_ptr<brisko::core::Options> appOptions() {
    return brisko::core::Options::initWithContentsOfFile(
        std::string(BRISKO_SOURCE_DIR "/resources/EzevarService-Info.plist"));
}

// Signs in with an Ezevar credential at the local identity service, as the app would, and leaves the
// user in the app's keychain file, where the app finds it at launch.
bool storeSignedInUser(const std::string& keychainFile, const IdentityService& identity) {
    ::setenv("BRISKO_KEYCHAIN", "memory", 1);
    brisko::core::App::configureWithOptions(appOptions());
    auto keychain = std::make_shared<platform::FileKeychain>(keychainFile);
    auto client = brisko::auth::Auth::make(brisko::core::App::defaultApp(),
                                           std::make_shared<brisko::auth::AuthKeychainStorageReal>(keychain),
                                           std::make_shared<brisko::auth::AuthBackend>(), {});
    if (!client || !client->useEmulator("127.0.0.1", identity.port())) return false;
    const auto now = identity.now();
    const auto idToken = IdentityService::unsignedJWT({{"iss", "https://accounts.ezevar.com"},
                                                       {"sub", "bench-account"},
                                                       {"email", "bench-account@example.com"},
                                                       {"iat", now},
                                                       {"exp", now + 3600}});
    auto result =
        platform::runOnMainLoop(client->signIn(brisko::auth::EzevarAuthProvider::credential(idToken, "ezevar-access")));
    return result && result->user();
}

// The system's certificate authorities and the test CA in one file: the app trusts the local server
// while loading the whole store, as it does in use.
std::string trustedCAFile(const std::string& home) {
    const std::string path = home + "/trusted-cas.pem";
    std::ofstream out(path);
    for (const char* source : {"/etc/ssl/certs/ca-certificates.crt", HttpTestServer::caCertificatePath().c_str()}) {
        std::ifstream in(source);
        out << in.rdbuf() << "\n";
    }
    return path;
}

IdentityService::Options identityOptions() {
    IdentityService::Options options;
    options.apiKey = appOptions()->APIKey().value_or("");
    return options;
}
}  // namespace

std::vector<Mapping> mappingsOf(qint64 pid) {
    std::vector<Mapping> mappings;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    for (std::string l; std::getline(smaps, l);) {
        const auto space = l.find(' ');
        if (space != std::string::npos && l.find('-') < space) {  // a mapping's header line
            std::istringstream fields(l);
            std::string range, perms, offset, device, inode, path;
            fields >> range >> perms >> offset >> device >> inode >> path;
            mappings.push_back({path});
        } else if (!mappings.empty() && l.rfind("Rss:", 0) == 0) {
            mappings.back().residentKB = std::stol(l.substr(4));
        } else if (!mappings.empty() && l.rfind("Anonymous:", 0) == 0) {
            mappings.back().writtenKB = std::stol(l.substr(10));
        }
    }
    return mappings;
}

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
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string l; std::getline(rollup, l);) {
        if (l.rfind("Pss:", 0) == 0) u.pssKB = std::stol(l.substr(4));
        if (l.rfind("Private_Clean:", 0) == 0 || l.rfind("Private_Dirty:", 0) == 0)
            u.privateKB += std::stol(l.substr(14));
    }
    QDir tasks(QString::fromStdString("/proc/" + std::to_string(pid) + "/task"));
    for (const auto& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream ts("/proc/" + std::to_string(pid) + "/task/" + task.toStdString() + "/status");
        std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + task.toStdString() + "/comm");
        std::getline(comm, u.threadNames[task.toStdString()]);
        long& count = u.switchesByThread[task.toStdString()];
        for (std::string l; std::getline(ts, l);) {
            if (l.rfind("voluntary_ctxt_switches:", 0) == 0) count += std::stol(l.substr(24));
            if (l.rfind("nonvoluntary_ctxt_switches:", 0) == 0) count += std::stol(l.substr(27));
        }
        // Time on the CPU in nanoseconds, where /proc/<pid>/stat counts 10 ms ticks.
        std::ifstream schedstat("/proc/" + std::to_string(pid) + "/task/" + task.toStdString() + "/schedstat");
        double ns = 0;
        if (schedstat >> ns) u.threadCPUSeconds[task.toStdString()] = ns / 1e9;
    }
    return u;
}

double Period::cpuSeconds() const {
    // Summed over the threads that lived through the period (and those started in it), in nanoseconds.
    double total = 0;
    for (const auto& [thread, seconds] : after.threadCPUSeconds) {
        auto it = before.threadCPUSeconds.find(thread);
        total += seconds - (it == before.threadCPUSeconds.end() ? 0 : it->second);
    }
    return total;
}

long Period::switches() const {
    long total = 0;
    for (const auto& [thread, count] : after.switchesByThread) {
        auto it = before.switchesByThread.find(thread);
        total += count - (it == before.switchesByThread.end() ? 0 : it->second);
    }
    return total;
}

std::map<std::string, double> Period::wakeupsPerMinuteByThread(qint64 pid) const {
    std::map<std::string, double> byName;
    for (const auto& [thread, count] : after.switchesByThread) {
        auto it = before.switchesByThread.find(thread);
        const long delta = count - (it == before.switchesByThread.end() ? 0 : it->second);
        // Threads nobody named carry the process's name: the dispatch pool's workers.
        const std::string& name = after.threadNames.at(thread);
        const bool isMain = thread == std::to_string(pid);
        const bool isPool = !isMain && name == after.threadNames.at(std::to_string(pid));
        byName[isMain ? "main" : isPool ? "pool" : name] += static_cast<double>(delta) * 60.0 / seconds;
    }
    return byName;
}

bool pump(const std::function<bool()>& done, int timeoutMs) {
    return brisko::test::processEventsUntil(done, std::chrono::milliseconds(timeoutMs));
}

Period measureFor(qint64 pid, int seconds) {
    Period period{.before = usageOf(pid), .seconds = seconds};
    pump([] { return false; }, seconds * 1000);
    period.after = usageOf(pid);
    return period;
}

void printPeriod(const char* phase, qint64 pid, const Period& period) {
    const Usage& after = period.after;
    std::printf(
        "%s: RSS %.1f MiB (anonymous %.1f MiB, files and libraries %.1f MiB), CPU %.3f s over %d s, %.0f wakeups/min\n",
        phase, after.rssKB / 1024.0, after.anonKB / 1024.0, after.fileKB / 1024.0, period.cpuSeconds(), period.seconds,
        period.wakeupsPerMinute());
    std::printf("  PSS %.1f MiB, private %.1f MiB, %zu threads\n", after.pssKB / 1024.0, after.privateKB / 1024.0,
                after.threadNames.size());
    std::printf("  wakeups/min by thread:");
    for (const auto& [name, rate] : period.wakeupsPerMinuteByThread(pid)) std::printf(" %s %.1f;", name.c_str(), rate);
    std::printf("\n");
}

xcb_window_t shownWindow(const std::string& title) {
    std::FILE* out = ::popen(("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null").c_str(), "r");
    if (!out) return 0;
    unsigned long id = 0;
    if (std::fscanf(out, "%lu", &id) != 1) id = 0;
    ::pclose(out);
    return static_cast<xcb_window_t>(id);
}

void closeWindow(xcb_window_t window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return;
    }
    static constexpr char kName[] = "_NET_CLOSE_WINDOW";
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof(kName) - 1, kName), nullptr);
    if (atom) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom->atom;
        event.data.data32[0] = XCB_CURRENT_TIME;
        event.data.data32[1] = 2;  // sent on the user's behalf, as pagers and taskbars do
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        // Checked, so the server has taken the message before the connection goes.
        std::free(xcb_request_check(
            c, xcb_send_event_checked(c, 0, root,
                                      XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                                      reinterpret_cast<const char*>(&event))));
        std::free(atom);
    }
    xcb_disconnect(c);
}
SignedInApp::SignedInApp() : identity(identityOptions()) {
    server.on("POST", kIngestPath, HttpTestServer::json(200, R"({"ok":true})"));
    server.on("*", kPairingPath, HttpTestServer::json(200, R"({"ok":true})"));
    char homeTemplate[] = "/tmp/brisko-bench-XXXXXX";
    home = ::mkdtemp(homeTemplate);
}

SignedInApp::~SignedInApp() {
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
}

bool SignedInApp::prepare() {
    if (!watcher.start()) {
        std::fprintf(stderr, "needs a session bus of its own: dbus-run-session -- ...\n");
        return false;
    }
    std::filesystem::create_directories(home + "/data/brisko-desktop");
    if (!storeSignedInUser(home + "/data/brisko-desktop/keychain-items.plist", identity)) {
        std::fprintf(stderr, "could not sign the bench account in at the local identity service\n");
        return false;
    }
    environment = QProcessEnvironment::systemEnvironment();
    for (auto [key, value] : {std::pair{"HOME", home},
                              {"XDG_DATA_HOME", home + "/data"},
                              {"XDG_CONFIG_HOME", home + "/config"},
                              {"XDG_CACHE_HOME", home + "/cache"},
                              {"XDG_RUNTIME_DIR", home},
                              {"BRISKO_KEYCHAIN", std::string("file")},
                              {"BRISKO_SERVICE_URL", server.baseURL()},
                              {"BRISKO_IDENTITY_EMULATOR_HOST", identity.emulatorHostAndPort()},
                              {"SSL_CERT_FILE", trustedCAFile(home)},
                              {"BRISKO_RESOURCES_DIR", std::string(BRISKO_SOURCE_DIR "/resources")}}) {
        environment.insert(QString::fromUtf8(key), QString::fromStdString(value));
    }
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return true;
}

bool SignedInApp::launch(const char* binary, QProcess& process,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment) {
    QProcessEnvironment env = environment;
    for (const auto& [key, value] : extraEnvironment)
        env.insert(QString::fromStdString(key), QString::fromStdString(value));
    watcher.forget();
    process.setProcessEnvironment(env);
    process.start(QString::fromUtf8(binary), {});
    if (!process.waitForStarted(5000) || !pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }) ||
        !pump([&] { return watcher.menu().has_value(); }, 5000)) {
        std::fprintf(stderr, "%s did not show its tray item\n", binary);
        return false;
    }
    return true;
}

std::string SignedInApp::bufferText() const {
    std::ifstream buffer(home + "/data/brisko-desktop/activity-buffer.jsonl");
    std::stringstream text;
    text << buffer.rdbuf();
    return text.str();
}

brisko::test::X11TestWindow::Properties probeWindowProperties() {
    return {.wmClass = std::make_pair(std::string("bench"), std::string("BenchProbe")),
            .netWmName = std::string("作業中のウィンドウ"),
            .pid = static_cast<std::uint32_t>(::getpid())};
}

}  // namespace brisko::bench
