// The entry point: one instance per user (the owner of the sample buffer), the main-thread executor, the desktop
// services, then the application delegate and Qt's event loop.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/AppDelegate.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/views/BriskoMark.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/desktop/DesktopServices.hpp"
#include "platform/desktop/QtMainExecutor.hpp"
#include "platform/desktop/SingleInstance.hpp"
#include "platform/desktop/SleepWatcher.hpp"
#include "platform/desktop/Workspace.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/ProcessInfo.hpp"

namespace {
constexpr const char* kDisplayName = "Brisko Desktop";
constexpr const char* kDesktopFileName = "brisko-desktop";
constexpr const char* kNoSharedMemoryVariable = "QT_XCB_NO_MITSHM";

// Command-line arguments that are URLs (the desktop hands scheme URLs to the app this way).
std::vector<std::string> urlArguments(int argc, char** argv) {
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!arg.empty() && arg.front() != '-' && arg.find(':') != std::string::npos) urls.push_back(arg);
    }
    return urls;
}
}  // namespace

int main(int argc, char** argv) {
    using namespace brisko;
    platform::prepareDesktopSession();
    // The window's only steady painting is the 8-point status dot, 25 times a second. Through X11 shared
    // memory each paint first waits for the X server to be done with the last one (a round trip that
    // wakes two threads); sent in the request itself, such small images cost nothing of the kind.
    const bool setNoSharedMemory = !qEnvironmentVariableIsSet(kNoSharedMemoryVariable);
    if (setNoSharedMemory) qputenv(kNoSharedMemoryVariable, "1");
    QApplication application(argc, argv);
    // Read once, when the display connection opens: programs the app starts (the browser) keep their own.
    if (setNoSharedMemory) qunsetenv(kNoSharedMemoryVariable);
    QApplication::setApplicationName(QString::fromUtf8(kDesktopFileName));
    QApplication::setApplicationDisplayName(QString::fromUtf8(kDisplayName));
    QGuiApplication::setDesktopFileName(QString::fromUtf8(kDesktopFileName));
    platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>(argv, argv + argc));
    platform::MainLoop::installExecutor(platform::QtMainExecutor{});

    auto bundle = platform::Bundle::main();
    platform::Workspace::setCurrentBundleIdentifier(bundle->bundleIdentifier());
    QApplication::setWindowIcon(app::BriskoMark::icon());

    const auto urls = urlArguments(argc, argv);
    std::unique_ptr<app::AppDelegate> delegate;
    platform::SingleInstance instance;
    // Only the process that holds the buffer's lock (for its whole life) records and uploads; another
    // one hands its URLs to it and leaves, whatever the socket does.
    const auto role = instance.startOwning(app::ActivityTrackingService::bufferLockPath(),
                                           platform::SingleInstance::Request{urls, true},
                                           [&delegate](const platform::SingleInstance::Request& request) {
                                               if (!delegate) return;
                                               delegate->openURLs(request.urls);
                                               if (request.reopen) delegate->applicationShouldHandleReopen();
                                           });
    if (role == platform::SingleInstance::Role::secondary) return EXIT_SUCCESS;
    // The running instance refused the request (or never answered): what was asked of it was not done.
    if (role == platform::SingleInstance::Role::blocked) return EXIT_FAILURE;

    platform::installDesktopServices();
    platform::SleepWatcher sleepWatcher;
    sleepWatcher.start();

    delegate = std::make_unique<app::AppDelegate>();
    delegate->applicationWillFinishLaunching();
    delegate->applicationDidFinishLaunching();
    if (!urls.empty()) delegate->openURLs(urls);

    QApplication::exec();

    // Everything sampled is already in the buffer file; leave without tearing down the shared
    // services, whose threads may still be running.
    delegate.reset();
    app::ActivityTrackingService::shared()->buffer()->flush();
    std::fflush(nullptr);
    std::_Exit(0);
}
