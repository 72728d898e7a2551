// What the benchmarks of the running app share: the real binary signed in against local services (a
// companion service over HTTPS with a test CA, the identity service, a tray host on the session bus),
// readings of a process's CPU time, resident memory and wakeups from /proc, and the window manager's
// view of the app's window.
#pragma once

#include <xcb/xcb.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/app/TrayMenuDriver.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

namespace brisko::bench {

// The window the benchmarks keep in front while the app records: it names this process and carries a
// Japanese title, so a sample shows that it was read.
brisko::test::X11TestWindow::Properties probeWindowProperties();

// One reading of a process.
struct Usage {
    double cpuSeconds = 0;
    long rssKB = 0;
    long anonKB = 0;
    long fileKB = 0;
    long pssKB = 0;
    long privateKB = 0;
    std::map<std::string, long> switchesByThread;  // voluntary and involuntary context switches
    std::map<std::string, std::string> threadNames;
    std::map<std::string, double> threadCPUSeconds;
};
Usage usageOf(qint64 pid);

// One mapping of a process: its path (empty when anonymous), resident kB and written (anonymous) kB.
struct Mapping {
    std::string path;
    long residentKB = 0;
    long writtenKB = 0;
};
std::vector<Mapping> mappingsOf(qint64 pid);

// What a process did over a period.
struct Period {
    Usage before;
    Usage after;
    int seconds = 0;
    // CPU time of its threads (precise to the nanosecond, where Usage::cpuSeconds counts 10 ms ticks).
    double cpuSeconds() const;
    // Context switches of all its threads (those that lived through the period and those started in it).
    long switches() const;
    double wakeupsPerMinute() const { return static_cast<double>(switches()) * 60.0 / seconds; }
    // The same by thread: "main", "pool" (unnamed workers) or the thread's name.
    std::map<std::string, double> wakeupsPerMinuteByThread(qint64 pid) const;
};

// Runs the event loop until `done` is true or the time is up; true when done.
bool pump(const std::function<bool()>& done, int timeoutMs = 15000);
// Runs the event loop for `seconds` while `pid` is measured.
Period measureFor(qint64 pid, int seconds);
// Prints a period's CPU time, wakeups (also by thread) and resident memory on one line each.
void printPeriod(const char* phase, qint64 pid, const Period& period);

// The mapped window of that title (Qt's hidden client-leader window carries the same name), or 0.
xcb_window_t shownWindow(const std::string& title = "Brisko Desktop");
// Asks the window manager to close the window as its close button does (EWMH _NET_CLOSE_WINDOW).
void closeWindow(xcb_window_t window);

// The real binary, signed in at the local identity service (a user restored from its keychain file),
// pairing with and uploading to a local companion service over HTTPS, in a home folder of its own that
// goes with this object.
class SignedInApp {
public:
    static constexpr const char* kIngestPath = "/api/mac-activity/ingest";
    static constexpr const char* kPairingPath = "/api/user/desktop-companion";

    SignedInApp();
    ~SignedInApp();
    SignedInApp(const SignedInApp&) = delete;
    SignedInApp& operator=(const SignedInApp&) = delete;

    // Signs the account in and prepares the home folder; prints why and returns false when it cannot.
    bool prepare();
    // Starts `binary` (with `extraEnvironment` on top of the app's) and waits for its tray menu.
    bool launch(const char* binary, QProcess& process,
                const std::vector<std::pair<std::string, std::string>>& extraEnvironment = {});
    // Clicks a tray menu item; false when there is none of that label.
    bool click(const char* label) { return watcher.click(QString::fromUtf8(label)); }
    // The samples file's text, where the app records.
    std::string bufferText() const;
    std::size_t uploads() const { return server.requestsTo(kIngestPath).size(); }

    brisko::testing::HttpTestServer server{brisko::testing::HttpTestServer::Mode::https};
    brisko::testing::IdentityService identity;
    brisko::app::test::StatusNotifierWatcher watcher;
    std::string home;
    QProcessEnvironment environment;
};

}  // namespace brisko::bench
